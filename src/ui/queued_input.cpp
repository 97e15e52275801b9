#include "ui/queued_input.h"

#include <QCoreApplication>
#include <QGuiApplication>

namespace kbx {

void DropQueuedInput() {
  QGuiApplication::sync();
  QCoreApplication::processEvents();
}

}  // namespace kbx
