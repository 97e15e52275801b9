#include "app/close_on_signals.h"

#include "platform/stop_signals.h"

namespace kbx {

CloseOnSignals::CloseOnSignals(QWidget& window, int intervalMs) : window_(window), seen_(0) {
  connect(&timer_, &QTimer::timeout, this, &CloseOnSignals::Poll);
  timer_.start(intervalMs);
}

void CloseOnSignals::Poll() {
  const int count = StopSignalCount();
  if (count == seen_) return;
  seen_ = count;
  window_.close();
}

}  // namespace kbx
