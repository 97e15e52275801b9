// The main of the tests that need Qt's application object (the serial port's
// notifiers): GoogleMock's main under a QCoreApplication.
#include <gmock/gmock.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
