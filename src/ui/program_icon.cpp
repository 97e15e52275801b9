#include "ui/program_icon.h"

namespace kbx {

QIcon ProgramIcon() {
  // Rendered from data/kbx-configurator.svg by tools/icons.sh, so that no
  // SVG support is needed at run time.
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addFile(QString(":/icons/kbx-configurator-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

}  // namespace kbx
