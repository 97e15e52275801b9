// The command line: whole sessions with the simulator's unit on the in-memory
// port, the JSON report, what a stop signal leaves of a session, output that
// cannot be written.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>

#include "cli/cli_options.h"
#include "cli/console_host.h"
#include "cli/json_report.h"
#include "cli/kbx_cli.h"
#include "platform/stop_signals.h"
#include "support/json_reader.h"
#include "support/processes.h"
#include "support/simulated_ups.h"
#include "support/xcp_fixture.h"
#include "ups/startup.h"
#include "ups/xcp.h"

namespace kbx {
namespace {

using test::ReadJson;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// A type 290's update to one module as its requests reach the UPS, then the disconnect.
const std::vector<Bytes> kUpdateToOneThenDisconnect = {
    {0x78, 0x20, 0x03, 0x00}, {0x78, 0x38, 0x8B, 0x11}, {0xBD, 0x69, 0x02, 0x8B, 0x11}, {0x78, 0x00}, {0xFF}};

struct KbxRun {
  int status;
  std::vector<std::string> out;
  std::string err;
};

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
    ConsoleHost console(out);
    Xcp xcp(port, clock, console);
    EXPECT_FALSE(StartUp(xcp, options.session.baud, options.session.port).portFailure);
    report = {};
    const int status = RunSession(xcp, options, confirm, &report);
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
  SessionReport report;
};

TEST_F(CliSession, A290ConfiguredWithTwoModulesReportsALongerTime) {
  const KbxRun run = Kbx({"--simulate", "290", "connect", "runtime", "modules", "2", "--yes", "runtime"});
  EXPECT_EQ(run.status, 0);
  // 1800 s scaled by the base times of two modules and of none: 1800 * 8328 / 994.
  EXPECT_THAT(run.out,
              ElementsAreArray({"Connecting...", "UPS Found", "Done", "Getting Time Remain...",
                                "Battery Time Remain:  0:30:00", "Done", "Determining KBXs Supported...",
                                "Done", "Updating KBXs...", "Done", "Getting Time Remain...",
                                "Battery Time Remain:  4:11:21", "Done", "Disconnecting...", "Done"}));
  EXPECT_EQ(ups->model.CommittedModuleCount(), 2);
  EXPECT_EQ(SetCommands(), 4);  // two variables, the RAM word, the checksum reset: once each
  // What --json reports: the unit, its last reading, the update.
  EXPECT_EQ(report.type, 290);
  EXPECT_THAT(report.versions,
              ElementsAre(std::pair{1, std::string("1.03")}, std::pair{2, std::string("1.03")}));
  EXPECT_EQ(report.runtimeSeconds, 15081);
  ASSERT_TRUE(report.modules.has_value());
  EXPECT_EQ(report.modules->outcome, "done");
  EXPECT_TRUE(report.errors.empty());
}

// Each version as the unit reported it, letters included; a processor at
// 0.00 is not there.
TEST_F(CliSession, InfoShowsTheIdentification) {
  unit.versions = {{1, 3}, {2, 0x10}, {0, 0x50}, {0, 0}, {0x1A, 0x0B}};
  const KbxRun run = Kbx({"--simulate", "280", "info"});
  EXPECT_EQ(run.status, 0);
  std::vector<std::string> info;
  for (const std::string& line : run.out)
    if (line.starts_with("Processor ") || line.starts_with("UPS type") || line.starts_with("Meters"))
      info.push_back(line);
  EXPECT_THAT(info,
              ElementsAre("UPS type: 280", "Processor 1 version: 1.03", "Processor 2 version: 2.10",
                          "Processor 3 version: 0.50", "Processor 5 version: 1A.0B",
                          "Meters reported: 3 (format 40), 10 (format 40), 36 (format F0), 38 (format F0)"));
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

TEST_F(CliSession, CommandsWithoutALinkSayLinkDownAndFail) {
  unit.silent = true;
  const KbxRun run = Kbx({"--simulate", "290", "runtime", "modules", "1", "--yes", "info"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, (std::vector<std::string>{"Connecting...", "NO UPS Found", "Done", "Link Down",
                                               "Link Down", "No UPS identified"}));
  EXPECT_EQ(run.err, "kbx: commands failed: connect, runtime, modules 1, info\n");
  ASSERT_TRUE(report.modules.has_value());
  EXPECT_EQ(report.modules->outcome, "link down");
}

TEST(JsonText, EscapesWhatItMustAndKeepsValidUtf8) {
  struct Case {
    std::string text;
    std::string json;
  } cases[] = {
      {"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\""},
      {"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
      {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\\u007f\""},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
      // Bytes that are not valid UTF-8: stray, a continuation alone, an
      // overlong '/', a surrogate, a sequence cut short, beyond U+10FFFF.
      {"/dev/\xFF", "\"/dev/\\u00ff\""},
      {"\x80x", "\"\\u0080x\""},
      {"\xC0\xAF", "\"\\u00c0\\u00af\""},
      {"\xED\xA0\x80", "\"\\u00ed\\u00a0\\u0080\""},
      {"\xE2\x82", "\"\\u00e2\\u0082\""},
      {"\xF4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},
  };
  for (const Case& c : cases) {
    const std::string json = JsonString(c.text);
    EXPECT_EQ(json, c.json) << c.text;
    // And a strict reader reads it back.
    EXPECT_EQ(ReadJson(json).Type(), QJsonValue::String) << json;
  }
}

TEST(JsonText, AReportReadsBackWhole) {
  SessionReport report;
  report.exit = 130;
  report.port = 3;
  report.device = "/dev/tty\xFFUSB\"0";
  report.settings = "COM3,9600,N,8,1";
  report.type = 290;
  report.versions = {{1, "1.03"}, {3, "2.10"}};
  report.runtimeSeconds = 8133;
  report.runtime = "2:15:33";
  KbxUpdateOutcome update;
  update.ending = KbxUpdateOutcome::Ending::kNotSent;
  update.steps = {"module count", "battery base time", "battery base time in RAM", "EEPROM checksum reset"};
  update.step = 2;
  update.confirmed = 1;
  report.modules = SessionReport::Modules{2, "failed", update, ""};
  report.board = {"Connecting...", "UPS Found", "Tab\there"};
  report.errors = {"interrupted (SIGINT) during modules 2: the update was finished"};
  report.interrupted = "SIGINT";
  std::ostringstream out;
  WriteJsonReport(report, out);
  // One line; the stray byte as U+00FF.
  EXPECT_EQ(
      out.str(),
      R"j({"ok":false,"exit":130,"port":3,"device":"/dev/tty\u00ffUSB\"0","settings":"COM3,9600,N,8,1",)j"
      R"j("type":290,"versions":{"1":"1.03","3":"2.10"},"runtime_seconds":8133,"runtime":"2:15:33",)j"
      R"j("modules":{"requested":2,"outcome":"failed","ending":"not sent","step":2,"steps":["module count",)j"
      R"j("battery base time","battery base time in RAM","EEPROM checksum reset"],)j"
      R"j("confirmed":["module count"]},"interrupted":"SIGINT","board":["Connecting...","UPS Found",)j"
      R"j("Tab\there"],"errors":["interrupted (SIGINT) during modules 2: the update was finished"]})j"
      "\n");
  EXPECT_EQ(ReadJson(out.str()).Type(), QJsonValue::Object);

  // What was not read is left out, not written as zero.
  std::ostringstream bare;
  WriteJsonReport(SessionReport{}, bare);
  EXPECT_EQ(bare.str(), "{\"ok\":true,\"exit\":0,\"board\":[],\"errors\":[]}\n");
}

// A session on the fake port, with a signal raised when a given request goes
// out: the handlers of the real program note it.
class SignalsOnFakePort : public test::XcpTest {
 protected:
  static void SetUpTestSuite() { InstallStopSignals(StopMode::kNoteEvery, "cli_test"); }
  void TearDown() override { ClearStopSignals(); }

  // Answers the update's writes, and raises `signal` (then `second`, when
  // given) at the first request starting with `trigger`. The requests from
  // there on are in `after`.
  void RaiseAt(std::uint8_t trigger, int signal, int second = 0) {
    for (std::uint8_t command : Bytes{0x78, 0xBD}) ups.answers[command] = {test::Ack(0x31)};
    auto scripted = port.onWrite;
    port.onWrite = [this, scripted, trigger, signal, second](const Bytes& frame) {
      const bool first = after.empty() && frame.size() > 2 && frame[2] == trigger;
      if (first || !after.empty()) after.emplace_back(frame.begin() + 2, frame.end() - 1);
      if (first) std::raise(signal);
      if (first && second != 0) std::raise(second);
      scripted(frame);
    };
  }

  int Session(const std::string& args) {
    CliOptions options;
    std::string error;
    std::vector<std::string> words;
    std::istringstream in(args);
    for (std::string word; in >> word;) words.push_back(word);
    EXPECT_TRUE(ParseCliOptions(words, options, error)) << error;
    return RunSession(xcp, options, Confirm{}, &report);
  }

  std::vector<Bytes> after;
  SessionReport report;
};

// The report holds the reading itself, not the board's time read back: the
// board rounds a negative reading's hours down and shows hours of any width.
using ReportOnFakePort = SignalsOnFakePort;
TEST_F(ReportOnFakePort, TheRuntimeIsTheSecondsRead) {
  const struct {
    float seconds;
    double reported;
    const char* time;
  } cases[] = {
      {1800.75F, 1800, "0:30:00"},
      {-1800, -1800, "-1:30:00"},
      {3.6e9F, 3.6e9, "1000000:00:00"},
  };
  for (const auto& c : cases) {
    Unit(290, {1, 3}, 0x40);
    Bytes value(4);
    std::memcpy(value.data(), &c.seconds, 4);
    ups.answers[0x34] = {test::Block(4, test::Join({Bytes(8, 0), value}))};
    report = {};
    EXPECT_EQ(Session("runtime"), 0) << c.time;
    EXPECT_EQ(report.runtimeSeconds, c.reported) << c.time;
    EXPECT_EQ(report.runtime, c.time);
  }
}

// kbx's own handlers, where a second signal ends the program: in a child
// process, which the signal would end if the update did not hold it off.
TEST_F(SignalsOnFakePort, ASecondSignalDuringTheUpdateDoesNotEndIt) {
  Unit(290);
  int messages[2];
  ASSERT_EQ(pipe(messages), 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(messages[1], STDERR_FILENO);
    InstallStopSignals(StopMode::kSecondSignalEnds, "kbx");
    RaiseAt(0x78, SIGINT, SIGTERM);
    const int status = Session("modules 1 --yes");
    _exit(status == 128 + SIGINT && after == kUpdateToOneThenDisconnect && report.modules &&
                  report.modules->outcome == "done"
              ? 0
              : 1);
  }
  close(messages[1]);
  std::string said;
  char buffer[256];
  for (ssize_t n; (n = read(messages[0], buffer, sizeof buffer)) > 0;)
    said.append(buffer, static_cast<std::size_t>(n));
  close(messages[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(said, "kbx: the module update is being finished; the program ends after it\n");
}

// Each stop signal lets the running command finish, then the disconnect goes
// out and the board shows it. The one line says what was interrupted, how it
// ended and what was not run; an update the UPS refuses while a signal waits
// says it failed. A signal before the session lets nothing go out.
TEST_F(SignalsOnFakePort, TheLineSaysWhatWasInterruptedAndWhatWasNotRun) {
  struct Case {
    std::uint8_t trigger;  // 0: the signal comes before the session
    std::string args;
    std::vector<std::string> errors;
    std::string modules;       // the update's outcome and why; "" when none was asked for
    std::uint8_t refused = 0;  // a command the UPS refuses, 0 for none
    int signal = SIGINT;
    std::vector<Bytes> sent{};  // the requests from the trigger on; when empty, the disconnect comes last
  } cases[] = {
      {0,
       "connect modules 1 --yes",
       {"interrupted (SIGINT) before connecting; connect, modules 1 were not run"},
       "not run: interrupted before connecting"},
      // During the connect (its identification request).
      {0xA0,
       "connect runtime info",
       {"finishing connect; press Ctrl-C again to stop now",
        "interrupted (SIGINT) during connect: it was completed; runtime, info were not run"},
       ""},
      // The runtime's meter request goes unanswered: the command fails, which
      // the one line says.
      {0x34,
       "runtime modules 2 --yes info",
       {"finishing runtime; press Ctrl-C again to stop now",
        "interrupted (SIGINT) during runtime: it failed; modules 2, info were not run"},
       "not run: interrupted during runtime: it failed"},
      // A command that failed before the signal is named on a line of its own.
      {0x78,
       "runtime modules 2 --yes info",
       {"command failed: runtime",
        "interrupted (SIGINT) during modules 2: the update was finished; info was not run"},
       "done"},
      // The update ends before the next command's requests.
      {0x78,
       "connect modules 1 --yes runtime",
       {"interrupted (SIGTERM) during modules 1: the update was finished; runtime was not run"},
       "done",
       0,
       SIGTERM,
       kUpdateToOneThenDisconnect},
      {0x78,
       "connect modules 1 --yes runtime",
       {"interrupted (SIGHUP) during modules 1: the update was finished; runtime was not run"},
       "done",
       0,
       SIGHUP},
      // During the last command: nothing was left to run.
      {0x78, "modules 0 --yes", {"interrupted (SIGINT) during modules 0: the update was finished"}, "done"},
      {0xBD,
       "modules 1 --yes runtime",
       {"modules 1: the update stopped at step 3 of 4 (the battery base time in RAM): the UPS did not "
        "acknowledge it; the UPS confirmed only the module count and the battery base time; run the update "
        "again",
        "interrupted (SIGINT) during modules 1: the update failed; runtime was not run"},
       "failed",
       0xBD},
  };
  for (const Case& c : cases) {
    Unit(290);
    after.clear();
    report = {};
    if (c.trigger == 0) std::raise(c.signal);
    RaiseAt(c.trigger, c.signal);
    if (c.refused != 0) ups.answers[c.refused] = {test::Ack(0x36)};
    EXPECT_EQ(Session(c.args), 128 + c.signal) << c.args;
    ClearStopSignals();
    EXPECT_THAT(report.errors, ElementsAreArray(c.errors)) << c.args;
    const auto& modules = report.modules;
    EXPECT_EQ(modules ? modules->outcome + (modules->why.empty() ? "" : ": " + modules->why) : "", c.modules)
        << c.args;
    if (c.trigger == 0) {
      EXPECT_TRUE(port.writes.empty());
      continue;
    }
    if (!c.sent.empty()) {
      EXPECT_EQ(after, c.sent) << c.args;
    } else {
      ASSERT_FALSE(after.empty()) << c.args;
      EXPECT_EQ(after.back(), Bytes{0xFF}) << c.args << ": the disconnect";
    }
    // The board as it stands after the disconnect, which clears it first.
    EXPECT_THAT(host.board, ElementsAre("Disconnecting...", "Done")) << c.args;
  }
}

// A stream that takes nothing.
class RefusingBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
};

TEST(CliOutput, OutputThatCannotBeWrittenIsSaidOnceAndFails) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--com", "1=/dev/null", "ports"}, {"--com", "1=/dev/null", "--json", "ports"}}) {
    RefusingBuffer refusing;
    std::ostream out(&refusing);
    std::ostringstream err;
    EXPECT_EQ(RunKbx(args, out, err, Confirm{}), 1) << args.size();
    EXPECT_EQ(err.str(), "kbx: could not write the output: write error\n") << args.size();
  }
}

// A port that cannot be opened: the device kbx looked for and why it could
// not open it; the module count that never ran says why too. On the terminal
// a control character of the path is shown, not obeyed.
TEST(CliJson, APortThatCannotBeOpenedSaysWhichDeviceAndWhy) {
  const struct {
    std::vector<std::string> args;
    std::string settings, why, onTerminal;
  } cases[] = {
      {{"--port", "32767"},
       "COM32767,19200,N,8,1",
       "COM32767 is /dev/ttyS32766, which does not exist",
       "COM32767 is /dev/ttyS32766, which does not exist"},
      {{"--com", "1=/nonexistent/\x01"},
       "COM1,19200,N,8,1",
       "/nonexistent/\x01 does not exist (No such file or directory)",
       "/nonexistent/\\x01 does not exist (No such file or directory)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--json", "connect", "modules", "1", "--yes"});
    std::ostringstream out, err;
    EXPECT_EQ(RunKbx(args, out, err, Confirm{}), 1) << c.why;
    const test::Json json = ReadJson(out.str());
    EXPECT_EQ(json["settings"].Text(), c.settings);
    EXPECT_THAT(json["board"].Strings(), ElementsAre("Invalid port number"));
    EXPECT_THAT(json["errors"].Strings(), ElementsAre("8002 Start: Invalid port number 1", c.why));
    EXPECT_EQ(json["modules"]["why"].Text(), "the port could not be opened");
    EXPECT_EQ(err.str(), "kbx: 8002 Start: Invalid port number 1\nkbx: " + c.onTerminal + "\n");
  }
}

}  // namespace
}  // namespace kbx
