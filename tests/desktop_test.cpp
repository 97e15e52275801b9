// The desktop program as a technician meets it: outcomes at a glance, a
// report to copy and save, the keyboard, screen readers and large fonts.
// Window tests run offscreen on the fake port and the virtual clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QString>

#include "link/board_lines.h"

// Board lines in failure messages as text.
void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace kbx {
namespace {

// --- which lines report a failure ------------------------------------------------

TEST(BoardLines, FailuresAreTheRefusalsErrorsAndFailedStepsAndNothingElse) {
  struct Case {
    const char* line;
    bool failure;
  };
  const Case cases[] = {
      // progress and success
      {"Connecting...", false},
      {"UPS Found", false},
      {"Done", false},
      {"Disconnecting...", false},
      {"Getting Time Remain...", false},
      {"Battery Time Remain:  1:30:00", false},
      {"Determining KBXs Supported...", false},
      {"Updating KBXs...", false},
      {"", false},
      // failures of the connection and identification
      {"NO UPS Found", true},
      {"Invalid UPS Type", true},
      {"KBX Configurator needs upgrade to newer version", true},
      {"UPS code needs upgrade to newer version", true},
      {"Unknown UPS Type", true},
      {"Invalid Machine Type", true},
      {"Link Down", true},
      // refusals of the UPS
      {"NO ACK", true},
      {"Command Not Implemented (32)", true},
      {"UPS Busy (33)", true},
      {"Command Unrecognized (34)", true},
      {"Command Parameter out of range (35)", true},
      {"Command Parameter invalid (36)", true},
      {"Command Accepted with parameter adjusted (37)", true},
      {"Unknown ACK 48", true},
      {"Unknown ACK 56", true},
      {"Unknown ACK 0", true},
      // failed steps
      {"Error Getting Runtime", true},
      {"Error Setting KBXs", true},
      {"Error Setting Battery Base Time", true},
      {"Error Updating Battery Base Time RAM value", true},
      {"Error Resetting EEPROM Checksum", true},
      {"Error Setting RAM Value", true},
      // the port
      {"Unable to open port", true},
      {"Port already open", true},
      {"Invalid port number", true},
      {"Invalid communications parameters", true},
      {"Invalid Baud Rate", true},
      // error lines, with and without a routine tag
      {"8002 Invalid port number 8", true},
      {"8020 Error reading comm device", true},
      {"9 Subscript out of range 14", true},
      {"6 Overflow", true},
      // near misses
      {"Command Accepted", false},
      {"Unknown ACK", false},
      {"NO UPS Found ", false},
      {"8002", false},
      {"Battery Time Remain: -1:00:00", false},
  };
  for (const Case& c : cases) EXPECT_EQ(ReportsFailure(c.line), c.failure) << '"' << c.line << '"';
}

}  // namespace
}  // namespace kbx

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
