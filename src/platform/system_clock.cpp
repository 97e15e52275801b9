#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/clock.h"
#include "platform/stop_signals.h"

namespace kbx {

namespace {

// The local time now, and the seconds since local midnight.
double LocalNow(std::tm& local) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  localtime_r(&t, &local);
  const double frac =
      static_cast<double>(duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000) / 1e6;
  return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + frac;
}

}  // namespace

std::string ClockText(double timeOfDay) {
  const long long ms = std::llround(timeOfDay * 1000.0);
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", ms / 3600000 % 24, ms / 60000 % 60,
                ms / 1000 % 60, ms % 1000);
  return text;
}

double SystemClock::TimeOfDay() {
  std::tm local{};
  return LocalNow(local);
}

CalendarTime SystemClock::Calendar() {
  std::tm local{};
  const double timeOfDay = LocalNow(local);
  char date[32], zone[64];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  std::strftime(zone, sizeof zone, "%z %Z", &local);
  return {date, timeOfDay, zone};
}

void SystemClock::Sleep(int milliseconds) {
  ThrowIfStopNow();
  if (milliseconds <= 0) return;
  // A signal does not shorten the pause, unless it asks to stop now.
  timespec left{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) ThrowIfStopNow();
}

}  // namespace kbx
