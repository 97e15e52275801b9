#include "ui/screen_pointer.h"

#include <QApplication>
#include <QCursor>

namespace kbx {

void SetScreenPointer(Pointer pointer) {
  if (pointer == Pointer::kHourglass) {
    if (QApplication::overrideCursor() == nullptr) QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    while (QApplication::overrideCursor() != nullptr) QApplication::restoreOverrideCursor();
  }
}

}  // namespace kbx
