// The main of the window tests: GoogleMock's main, with a lock folder of the
// tests' own, under a QApplication, offscreen unless QT_QPA_PLATFORM names
// another platform (to watch them under a real X server).
#include <gmock/gmock.h>

#include <QApplication>

#include "support/lock_folder.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  kbx::test::KeepLockFilesApart();
  return RUN_ALL_TESTS();
}
