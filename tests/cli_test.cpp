// The command line: its options, its exit statuses, and whole sessions with
// the simulated UPS through a real pseudo-terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <cstdlib>
#include <sstream>

#include "cli/cli_options.h"
#include "cli/kbx_cli.h"
#include "support/xcp_fixture.h"

namespace kbx {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::StartsWith;

std::vector<std::string> Split(const std::string& text, char separator = '\n') {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

struct KbxRun {
  int status;
  std::vector<std::string> out;
  std::string err;
};

KbxRun Kbx(const std::vector<std::string>& args, Confirm confirm = {}) {
  std::ostringstream out, err;
  const int status = RunKbx(args, out, err, confirm);
  return {status, Split(out.str()), err.str()};
}

// Seconds of a board line "Battery Time Remain:  H:MM:SS".
int Seconds(const std::string& line) {
  int h = 0, m = 0, s = 0;
  EXPECT_EQ(std::sscanf(line.c_str(), "Battery Time Remain: %d:%d:%d", &h, &m, &s), 3) << line;
  return h * 3600 + m * 60 + s;
}

TEST(Cli, APortThatCannotBeOpenedSendsNothing) {
  const KbxRun run = Kbx({"--com", "1=/dev/kbx-no-such-device", "connect"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, ElementsAre("Invalid port number"));
  EXPECT_THAT(run.err, HasSubstr("8002 Start: Invalid port number 1"));
}

TEST(CliSession, A290ConfiguredWithTwoModulesReportsALongerTime) {
  KbxRun run = Kbx({"--simulate", "290", "connect", "runtime", "modules", "2", "--yes", "runtime"});
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.out.size(), 15u) << ::testing::PrintToString(run.out);
  // 1800 s scaled by the base times of two modules and of none.
  EXPECT_NEAR(Seconds(run.out[11]), 1800.0 * 8328 / 994, 1.0);
  run.out[11] = "(scaled)";
  EXPECT_THAT(run.out,
              ElementsAreArray({"Connecting...", "UPS Found", "Done", "Getting Time Remain...",
                                "Battery Time Remain:  0:30:00", "Done", "Determining KBXs Supported...",
                                "Done", "Updating KBXs...", "Done", "Getting Time Remain...", "(scaled)",
                                "Done", "Disconnecting...", "Done"}));
}

TEST(CliSession, A280TakesTheModuleCountAsAParameter) {
  const KbxRun run = Kbx({"--simulate", "280", "modules", "1", "--yes", "runtime"});
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_GE(run.out.size(), 10u);
  EXPECT_EQ(run.out[5], "Updating KBXs...");
  EXPECT_EQ(run.out[6], "Done");
  EXPECT_NEAR(Seconds(run.out[8]), 1800.0 * 4491 / 994, 1.0);
}

TEST(CliSession, A292ShowsItsIdentificationAndAsksBeforeTheUpdate) {
  int asked = 0;
  Confirm yes{true, [&](const std::string& question) {
                ++asked;
                EXPECT_THAT(question, HasSubstr("Number of KBXs selected:  0 "));
                return true;
              }};
  const KbxRun run = Kbx({"--simulate", "292", "info", "modules", "0"}, yes);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(asked, 1);
  EXPECT_THAT(
      run.out,
      IsSupersetOf({"UPS type: 292", "Processor 2 version: 1.03",
                    "Meters reported: 3 (format 40), 10 (format 40), 36 (format F0), 38 (format F0)"}));
}

TEST(CliSession, AnsweringNoChangesNothing) {
  Confirm no{true, [](const std::string&) { return false; }};
  const KbxRun run = Kbx({"--simulate", "290", "modules", "1", "runtime"}, no);
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, ::testing::Contains("Battery Time Remain:  0:30:00"));
  EXPECT_THAT(run.out, ::testing::Not(::testing::Contains("Updating KBXs...")));
}

TEST(CliSession, UnknownTypesAreRefused) {
  const KbxRun run = Kbx({"--simulate", "285", "connect", "runtime"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, ElementsAre("Connecting...", "Invalid UPS Type", "Done", "Link Down"));
}

// A session on the fake port, for what a real line rarely does.
class CliOnFakePort : public test::XcpTest {
 protected:
  int Session(std::vector<std::string> args) {
    CliOptions options;
    std::string error;
    EXPECT_TRUE(ParseCliOptions(args, options, error)) << error;
    return RunSession(xcp, options, Confirm{});
  }
};

TEST_F(CliOnFakePort, AnErrorNoOperationTrapsEndsTheCommandNotTheProgram) {
  Unit(280);
  auto attached = port.onWrite;
  port.onWrite = [&](const Bytes& frame) {
    if (frame == Bytes{0xAB, 0x01, 0xFF, 0x55})
      port.readError = kErrReadDevice;  // the device goes at disconnect
    attached(frame);
  };
  EXPECT_EQ(Session({"connect"}), 1);
  EXPECT_THAT(host.board, ElementsAre("Disconnecting...", "8020 Error reading comm device",
                                      "8020 Error reading comm device"));
}

TEST_F(CliOnFakePort, CommandsWithoutALinkSayLinkDown) {
  EXPECT_EQ(Session({"runtime", "modules", "1", "--yes", "info"}), 1);
  // Each command clears the board first; the console prints every line all the same.
  EXPECT_THAT(host.board, ElementsAre("Link Down", "No UPS identified"));
  EXPECT_EQ(host.clears, 3);  // connect, runtime, modules
}

// The two programs as a user runs them: the simulator in its own process,
// kbx pointed at the pseudo-terminal it prints. The shell prints its process
// number, which the simulator takes over by exec, before the device.
TEST(CliProcesses, KbxAgainstTheSimulatorProgram) {
  const std::string script =
      std::string("sh -c 'echo $$; exec \"$0\" --type 290 --battery-time 5400' ") + KBX_SIM_BIN +
      " | { read pid; read device; echo \"$device\"; " + KBX_BIN +
      " --com \"1=$device\" connect runtime modules 1 --yes; status=$?; kill $pid; exit $status; }";
  FILE* shell = popen(script.c_str(), "r");
  ASSERT_NE(shell, nullptr);
  std::string output;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, shell)) output += buffer;
  const int status = pclose(shell);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  const std::vector<std::string> lines = Split(output);
  ASSERT_FALSE(lines.empty());
  EXPECT_THAT(lines.front(), StartsWith("/dev/"));
  EXPECT_THAT(std::vector(lines.begin() + 1, lines.end()),
              ElementsAre("Connecting...", "UPS Found", "Done", "Getting Time Remain...",
                          "Battery Time Remain:  1:30:00", "Done", "Determining KBXs Supported...", "Done",
                          "Updating KBXs...", "Done", "Disconnecting...", "Done"));
}

}  // namespace
}  // namespace kbx

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
