#pragma once

namespace kbx {

// The time of day and the program's fixed waits. A wait blocks the calling
// thread without spinning the CPU.
class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since local midnight, with a fraction.
  virtual double TimeOfDay() = 0;
  virtual void Sleep(int milliseconds) = 0;
};

// The real clock of the machine.
class SystemClock : public Clock {
 public:
  double TimeOfDay() override;
  void Sleep(int milliseconds) override;
};

}  // namespace kbx
