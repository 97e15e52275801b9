// The main of the tests that need Qt's application object: GoogleMock's main,
// with a lock folder of the tests' own, under a QCoreApplication.
#include <gmock/gmock.h>

#include <QCoreApplication>

#include "support/lock_folder.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  kbx::test::KeepLockFilesApart();
  return RUN_ALL_TESTS();
}
