// kbx-configurator: the desktop program.
#include "app/desktop.h"

int main(int argc, char** argv) {
  return kbx::RunDesktop(argc, argv);
}
