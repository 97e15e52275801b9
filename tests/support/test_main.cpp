// The main of the tests without Qt's application object: GoogleMock's main
// with a lock folder of the tests' own.
#include <gmock/gmock.h>

#include "support/lock_folder.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  kbx::test::KeepLockFilesApart();
  return RUN_ALL_TESTS();
}
