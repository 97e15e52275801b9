#include "platform/event_clock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace kbx {

void EventClock::Sleep(int milliseconds) {
  if (milliseconds <= 0) return;
  if (QCoreApplication::instance() == nullptr) {
    SystemClock::Sleep(milliseconds);
    return;
  }
  QEventLoop loop;
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  timer.start(milliseconds);
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace kbx
