#include <cerrno>
#include <chrono>
#include <ctime>

#include "platform/clock.h"
#include "platform/stop_signals.h"

namespace kbx {

double SystemClock::TimeOfDay() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  const double frac =
      static_cast<double>(duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000) / 1e6;
  return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + frac;
}

void SystemClock::Sleep(int milliseconds) {
  ThrowIfStopNow();
  if (milliseconds <= 0) return;
  // A signal does not shorten the pause, unless it asks to stop now.
  timespec left{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) ThrowIfStopNow();
}

}  // namespace kbx
