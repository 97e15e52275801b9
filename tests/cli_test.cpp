// The command line: its options, its exit statuses, whole sessions with the
// simulator's unit on the in-memory port, and one with the simulator program
// through a real pseudo-terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>

#include "cli/cli_options.h"
#include "cli/console_host.h"
#include "cli/json_report.h"
#include "cli/kbx_cli.h"
#include "support/processes.h"
#include "support/simulated_ups.h"
#include "support/temp_folder.h"
#include "ups/startup.h"
#include "ups/xcp.h"

namespace kbx {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::StartsWith;

struct KbxRun {
  int status;
  std::vector<std::string> out;
  std::string err;
};

KbxRun Kbx(const std::vector<std::string>& args, Confirm confirm = {}) {
  std::ostringstream out, err;
  const int status = RunKbx(args, out, err, confirm);
  return {status, test::Lines(out.str()), err.str()};
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

// kbx --simulate TYPE as RunKbx runs it, but with the simulated unit behind
// the in-memory port on the virtual clock: what kbx prints, its exit status,
// and the unit as the session left it.
class CliSession : public ::testing::Test {
 protected:
  KbxRun Kbx(const std::vector<std::string>& args, const Confirm& confirm = {}) {
    CliOptions options;
    std::string error;
    EXPECT_TRUE(ParseCliOptions(args, options, error)) << error;
    unit.type = options.session.simulateType.value_or(kDefaultSimulatedType);
    ups = std::make_unique<test::SimulatedUps>(unit);
    if (onRequest) ups->model.SetRequestObserver(onRequest);
    ups->Attach(port);
    std::ostringstream out;
    struct Console : ConsoleHost {
      using ConsoleHost::ConsoleHost;
      void BoardClear() override { ++clears; }
      int clears = 0;
    } console(out);
    Xcp xcp(port, clock, console);
    EXPECT_FALSE(
        StartUp(xcp, std::to_string(options.session.baud), std::to_string(options.session.port)).portFailure);
    SessionReport report;
    const int status = RunSession(xcp, options, confirm, &report);
    clears = console.clears;
    std::string err;
    for (const auto& line : report.errors) err += "kbx: " + line + "\n";
    return {status, test::Lines(out.str()), err};
  }
  // The set commands (variable, RAM word, parameter) the unit received.
  int SetCommands() const {
    const UpsModel& model = ups->model;
    return model.RequestCount(0x78) + model.RequestCount(0xBD) + model.RequestCount(0x95);
  }

  SimOptions unit;                                    // its type is the one --simulate names
  std::function<void(const Bytes& frame)> onRequest;  // sees each request before the unit does
  test::VirtualClock clock;
  test::FakePort port{clock};
  std::unique_ptr<test::SimulatedUps> ups;
  int clears = 0;  // of the board, by the session's commands
};

TEST_F(CliSession, A290ConfiguredWithTwoModulesReportsALongerTime) {
  KbxRun run = Kbx({"--simulate", "290", "connect", "runtime", "modules", "2", "--yes", "runtime"});
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.out.size(), 15u) << ::testing::PrintToString(run.out);
  // 1800 s scaled by the base times of two modules and of none.
  EXPECT_NEAR(Seconds(run.out[11]), 1800.0 * 8328 / 994, 1.0);
  run.out[11] = "(scaled)";
  EXPECT_THAT(run.out,
              ElementsAreArray({"Connecting...", "UPS Found", "Done", "Getting Time Remain...",
                                "Battery Time Remain:  0:30:00", "Done", "Determining KBXs Supported...",
                                "Done", "Updating KBXs...", "Done", "Getting Time Remain...", "(scaled)",
                                "Done", "Disconnecting...", "Done"}));
  EXPECT_EQ(ups->model.CommittedModuleCount(), 2);
  EXPECT_EQ(SetCommands(), 4);  // two variables, the RAM word, the checksum reset: once each
}

TEST_F(CliSession, A280TakesTheModuleCountAsAParameter) {
  const KbxRun run = Kbx({"--simulate", "280", "modules", "1", "--yes", "runtime"});
  EXPECT_EQ(run.status, 0);
  ASSERT_GE(run.out.size(), 10u);
  EXPECT_EQ(run.out[5], "Updating KBXs...");
  EXPECT_EQ(run.out[6], "Done");
  EXPECT_NEAR(Seconds(run.out[8]), 1800.0 * 4491 / 994, 1.0);
  EXPECT_EQ(ups->model.Parameter(0x0F), 1);
  EXPECT_EQ(SetCommands(), 1);
}

TEST_F(CliSession, A292ShowsItsIdentificationAndAsksBeforeTheUpdate) {
  int asked = 0;
  Confirm yes{true, [&](const std::string& question) {
                ++asked;
                EXPECT_THAT(question, HasSubstr("Number of KBXs selected:  0 "));
                return true;
              }};
  const KbxRun run = Kbx({"--simulate", "292", "info", "modules", "0"}, yes);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(asked, 1);
  EXPECT_THAT(
      run.out,
      IsSupersetOf({"UPS type: 292", "Processor 2 version: 1.03",
                    "Meters reported: 3 (format 40), 10 (format 40), 36 (format F0), 38 (format F0)"}));
}

TEST_F(CliSession, AnsweringNoChangesNothing) {
  Confirm no{true, [](const std::string&) { return false; }};
  const KbxRun run = Kbx({"--simulate", "290", "modules", "1", "runtime"}, no);
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, ::testing::Contains("Battery Time Remain:  0:30:00"));
  EXPECT_THAT(run.out, ::testing::Not(::testing::Contains("Updating KBXs...")));
  EXPECT_EQ(SetCommands(), 0);
  // The reason is the answer, not a failure of the command.
  EXPECT_EQ(run.err, "kbx: Not changed.\n");
}

TEST_F(CliSession, UnknownTypesAreRefused) {
  const KbxRun run = Kbx({"--simulate", "285", "connect", "runtime"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, ElementsAre("Connecting...", "Invalid UPS Type", "Done", "Link Down"));
}

// What a real line rarely does.
TEST_F(CliSession, AnErrorNoOperationTrapsEndsTheCommandNotTheProgram) {
  onRequest = [&](const Bytes& frame) {
    if (frame == Bytes{0xAB, 0x01, 0xFF, 0x55})
      port.readError = kErrReadDevice;  // the device goes at disconnect
  };
  const KbxRun run = Kbx({"--simulate", "280", "connect"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, ElementsAre("Connecting...", "UPS Found", "Done", "Disconnecting...",
                                   "8020 Error reading comm device", "8020 Error reading comm device"));
}

TEST_F(CliSession, CommandsWithoutALinkSayLinkDown) {
  unit.silent = true;
  EXPECT_EQ(Kbx({"--simulate", "290", "runtime", "modules", "1", "--yes", "info"}).out,
            (std::vector<std::string>{"Connecting...", "NO UPS Found", "Done", "Link Down", "Link Down",
                                      "No UPS identified"}));
  // Each command clears the board first; the console prints every line all the same.
  EXPECT_EQ(clears, 3);  // connect, runtime, modules
}

// The two programs as a user runs them: the simulator in its own process,
// kbx pointed at the pseudo-terminal it prints, writing a trace of the line
// to a file. The shell prints its process number, which the simulator takes
// over by exec, before the device.
TEST(CliProcesses, KbxAgainstTheSimulatorProgramWithATrace) {
  const TempFolder folder;
  const std::string trace = folder.path + "/trace.txt";
  const std::string script = std::string("sh -c 'echo $$; exec \"$0\" --type 290 --battery-time 5400' ") +
                             KBX_SIM_BIN + " | { read pid; read device; echo \"$device\"; " + KBX_BIN +
                             " --com \"1=$device\" --trace " + trace +
                             " --access-code A55AC3 connect runtime; status=$?; kill $pid; exit $status; }";
  FILE* shell = popen(script.c_str(), "r");
  ASSERT_NE(shell, nullptr);
  std::string output;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, shell)) output += buffer;
  const int status = pclose(shell);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  const std::vector<std::string> lines = test::Lines(output);
  ASSERT_FALSE(lines.empty());
  EXPECT_THAT(lines.front(), StartsWith("/dev/"));
  EXPECT_THAT(std::vector(lines.begin() + 1, lines.end()),
              ElementsAre("Connecting...", "UPS Found", "Done", "Getting Time Remain...",
                          "Battery Time Remain:  1:30:00", "Done", "Disconnecting...", "Done"));
  // The unit got the access code; the trace shows every frame but the code.
  const std::string text{std::istreambuf_iterator<char>(std::ifstream(trace).rdbuf()), {}};
  EXPECT_THAT(text, AllOf(HasSubstr("open COM1 (" + lines.front() + ") 19200,N,8,1"),
                          HasSubstr("  <  AB 01 "), Not(HasSubstr("A5 5A C3")),
                          HasSubstr(">  AB 04 CF ** ** ** **  | authorization request, code hidden")));
}

}  // namespace
}  // namespace kbx
