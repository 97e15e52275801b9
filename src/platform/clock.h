#pragma once

#include <string>

namespace kbx {

// The local date, time of day and time zone, read at one moment.
struct CalendarTime {
  std::string date;  // "2026-12-07"
  double timeOfDay;  // seconds since local midnight, as Clock::TimeOfDay
  std::string zone;  // "+0100 CET"
};

// "HH:MM:SS.mmm" of a time of day in seconds, as the trace and the
// simulator's log stamp their lines.
std::string ClockText(double timeOfDay);

// The time of day and the program's fixed waits. A wait blocks the calling
// thread without spinning the CPU.
class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since local midnight, with a fraction.
  virtual double TimeOfDay() = 0;
  virtual CalendarTime Calendar() = 0;
  virtual void Sleep(int milliseconds) = 0;
};

// The real clock of the machine.
class SystemClock : public Clock {
 public:
  double TimeOfDay() override;
  CalendarTime Calendar() override;
  void Sleep(int milliseconds) override;
};

}  // namespace kbx
