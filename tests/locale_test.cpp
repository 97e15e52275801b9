// Numbers never follow the user's locale: the number texts, the versions and
// what is decided on them, and a whole `kbx` session, all under de_DE.UTF-8, a
// locale whose decimal point is the comma. The test `comma_locale` generates
// that locale with localedef into LOCPATH; where it cannot, these tests skip.
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <clocale>
#include <cstring>
#include <limits>
#include <regex>

#include "link/numbers.h"
#include "support/processes.h"
#include "support/xcp_fixture.h"
#include "ups/runtime.h"

namespace kbx::test {
namespace {

using ::testing::IsSupersetOf;

constexpr const char* kCommaLocale = "de_DE.UTF-8";

// The whole process in the comma locale, as the application object sets it
// from LANG; the test skips when the locale could not be generated.
class CommaLocale : public XcpTest {
 protected:
  void SetUp() override {
    ::setenv("LOCPATH", KBX_TEST_LOCPATH, 0);
    if (std::setlocale(LC_ALL, kCommaLocale) == nullptr) {
      GTEST_SKIP() << "no comma locale: " << kCommaLocale << " is not in LOCPATH=" << ::getenv("LOCPATH")
                   << " (the test comma_locale generates it with localedef; see its output)";
    }
    // Else the tests below would prove nothing.
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    XcpTest::SetUp();
  }
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(CommaLocale, NumberTextsAreReadWithThePoint) {
  const std::pair<const char*, double> numbers[] = {
      {"1.03", 1.03},
      {" -1.5e3 ", -1500},
      {"+2.5E-1", 0.25},
      {".5", 0.5},
      {"5.", 5},
      {"19200", 19200},
      {"1e400", std::numeric_limits<double>::infinity()},
  };
  for (const auto& [text, value] : numbers) {
    EXPECT_TRUE(IsNumeric(text)) << text;
    EXPECT_EQ(NumberFromText(text), value) << text;
  }
  // The locale's own decimal point and grouping make no number.
  for (const char* text : {"1,03", "1.000,5", "1 000", "1.0A", ""}) {
    EXPECT_FALSE(IsNumeric(text)) << text;
    try {
      NumberFromText(text);
      ADD_FAILURE() << text << " read as a number";
    } catch (const RunTimeError& e) {
      EXPECT_EQ(e.number(), kErrTypeMismatch) << text;
    }
  }
  // Whole numbers from text: halves to the even number, 6 beyond an Integer.
  const std::pair<const char*, int> integers[] = {{"1.5", 2}, {"2.5", 2}, {"32767.4", 32767}};
  for (const auto& [text, value] : integers) EXPECT_EQ(IntegerFromText(text), value) << text;
  for (const char* text : {"32767.5", "1e400"}) {
    try {
      IntegerFromText(text);
      ADD_FAILURE() << text << " fits an Integer";
    } catch (const RunTimeError& e) {
      EXPECT_EQ(e.number(), kErrOverflow) << text;
    }
  }
}

TEST_F(CommaLocale, NumbersAreWrittenWithThePointAndNoGrouping) {
  const std::tuple<double, int, const char*> fixed[] = {
      {1.03f, 2, "1.03"},
      {2.1f, 2, "2.10"},
      {2.5, 0, "2"},
      {-0.125, 2, "-0.12"},
      {1234567.891, 3, "1234567.891"},
  };
  for (const auto& [value, decimals, text] : fixed) EXPECT_EQ(FixedText(value, decimals), text) << text;
  EXPECT_EQ(SignedNumberText(1234567), " 1234567");
  EXPECT_EQ(SignedNumberText(-1234567), "-1234567");
  EXPECT_EQ(HexText(0xABCD), "ABCD");
  EXPECT_EQ(HexValue("3e2"), 0x3E2u);
  EXPECT_EQ(HexValue("1Z"), 1u);  // read up to the first character that is no digit
  EXPECT_EQ(FirmwareVersion(0x10, 0x50).Text(), "10.50");
  const std::pair<double, const char*> times[] = {{12345.5, " 12345:30:00"}, {-0.5, "-1:30:00"}};
  for (const auto& [hours, text] : times) EXPECT_EQ(TimeRemainText(hours), text) << hours;
}

// The port number is a number read as text like any other: "1.5" is port 2.
TEST_F(CommaLocale, ThePortSettingsAreReadAndWrittenWithThePoint) {
  EXPECT_FALSE(StartUp(xcp).portFailure);
  EXPECT_FALSE(xcp.ChangePort(9600, NumberFromText("1.5")));
  EXPECT_EQ(SettingsLabel(host.portState), " COM2,9600,N,8,1");
  EXPECT_EQ(FormatLineSettings(port.Describe().settings), "9600,N,8,1");
  EXPECT_TRUE(host.portState.open);
}

// The program as a user runs it, with the comma locale named by LANG.
TEST_F(CommaLocale, AKbxSessionShowsNumbersWithThePoint) {
  const std::string command = std::string("env -u LC_ALL -u LC_NUMERIC -u LANGUAGE LANG=") + kCommaLocale +
                              " " + KBX_BIN + " --simulate 290 connect info runtime 2>&1";
  FILE* program = popen(command.c_str(), "r");
  ASSERT_NE(program, nullptr) << command;
  std::string output;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, program)) output += buffer;
  const int status = pclose(program);
  const std::vector<std::string> lines = Lines(output);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_THAT(lines, IsSupersetOf({"UPS Found", "Processor 1 version: 1.03", "Processor 2 version: 1.03",
                                   "Battery Time Remain:  0:30:00"}));
  const std::regex commaNumber("[0-9],[0-9]");
  for (const auto& line : lines) EXPECT_FALSE(std::regex_search(line, commaNumber)) << line;
}

}  // namespace
}  // namespace kbx::test
