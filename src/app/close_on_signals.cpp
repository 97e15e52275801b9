#include "app/close_on_signals.h"

#include "platform/stop_signals.h"
#include "ui/main_window.h"

namespace kbx {

void DesktopClock::Sleep(int milliseconds) {
  ++sleeping_;
  EventClock::Sleep(milliseconds);
  --sleeping_;
}

CloseOnSignals::CloseOnSignals(MainWindow& window, std::function<bool()> commandRunning, int intervalMs)
    : window_(window), commandRunning_(std::move(commandRunning)), seen_(0) {
  connect(&timer_, &QTimer::timeout, this, &CloseOnSignals::Poll);
  timer_.start(intervalMs);
}

void CloseOnSignals::Poll() {
  const int count = StopSignalCount();
  if (count == seen_) return;
  // A module update (or any command) runs to its end; the next look after it stops.
  if (commandRunning_ && commandRunning_()) return;
  seen_ = count;
  window_.Stop();
}

}  // namespace kbx
