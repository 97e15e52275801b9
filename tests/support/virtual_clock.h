#pragma once

#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

#include "platform/clock.h"

namespace kbx::test {

// A clock that moves only when the program sleeps, so that the fixed pauses
// and time budgets cost no real time.
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(double startOfDay = 10 * 3600.0, std::string timeZone = "+0000 UTC")
      : zone(std::move(timeZone)), now_(startOfDay) {}

  double TimeOfDay() override { return std::fmod(now_, 86400.0); }
  // The date does not move; the zone is the one given, whatever the machine's.
  CalendarTime Calendar() override { return {date, TimeOfDay(), zone}; }
  std::string date = "2026-03-01";
  std::string zone;
  void Sleep(int milliseconds) override {
    // The program never waits a negative time; a test or fuzzer that sees one stops here.
    if (milliseconds < 0) std::abort();
    now_ += milliseconds / 1000.0;
    slept_ms_ += milliseconds;
    if (onSleep) onSleep();
  }

  // Runs at every wait: a look at the program while it waits.
  std::function<void()> onSleep;
  // Moves the time on without a wait of the program's: a sleep that lasts
  // longer than asked, as on a loaded machine.
  void Advance(double seconds) { now_ += seconds; }

  // Seconds since the clock was made (does not wrap at midnight).
  double Now() const { return now_; }
  long SleptMs() const { return slept_ms_; }

 private:
  double now_;
  long slept_ms_ = 0;
};

}  // namespace kbx::test
