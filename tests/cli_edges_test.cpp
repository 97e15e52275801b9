// kbx at the edges of the system, on the fake port and in process: the JSON
// it prints, what a stop signal leaves of a session, the line naming what
// failed, output that cannot be written. The same through real processes is
// in cli_e2e_test.cpp.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <sstream>
#include <thread>

#include "cli/cli_options.h"
#include "cli/json_report.h"
#include "cli/kbx_cli.h"
#include "platform/clock.h"
#include "platform/stop_signals.h"
#include "support/json_reader.h"
#include "support/processes.h"
#include "support/temp_folder.h"
#include "support/xcp_fixture.h"

namespace kbx {
namespace {

using test::Json;
using test::JsonReader;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

Json ReadJson(const std::string& text) {
  std::string error;
  const auto json = JsonReader::Read(text, error);
  EXPECT_TRUE(json.has_value()) << error << "\n" << text;
  return json.value_or(Json{});
}

TEST(JsonText, EscapesWhatItMustAndKeepsValidUtf8) {
  struct Case {
    std::string text;
    std::string json;
  } cases[] = {
      {"Done", "\"Done\""},
      {"", "\"\""},
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
    EXPECT_EQ(ReadJson(json).kind, Json::kString) << json;
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
  const std::string text = out.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << "one line";
  const Json json = ReadJson(text);
  EXPECT_FALSE(json["ok"].boolean);
  EXPECT_EQ(json["exit"].number, 130);
  EXPECT_EQ(json["port"].number, 3);
  EXPECT_EQ(json["device"].text, "/dev/tty\xC3\xBFUSB\"0");  // the stray byte as U+00FF
  EXPECT_EQ(json["settings"].text, "COM3,9600,N,8,1");
  EXPECT_EQ(json["type"].number, 290);
  EXPECT_EQ(json["versions"]["1"].text, "1.03");
  EXPECT_EQ(json["versions"]["3"].text, "2.10");
  EXPECT_EQ(json["runtime_seconds"].number, 8133);
  EXPECT_EQ(json["runtime"].text, "2:15:33");
  EXPECT_EQ(json["modules"]["requested"].number, 2);
  EXPECT_EQ(json["modules"]["outcome"].text, "failed");
  EXPECT_EQ(json["modules"]["ending"].text, "not sent");
  EXPECT_EQ(json["modules"]["step"].number, 2);
  EXPECT_THAT(json["modules"]["steps"].Strings(), ElementsAreArray(update.steps));
  EXPECT_THAT(json["modules"]["confirmed"].Strings(), ElementsAre("module count"));
  EXPECT_THAT(json["board"].Strings(), ElementsAre("Connecting...", "UPS Found", "Tab\there"));
  EXPECT_THAT(json["errors"].Strings(), ElementsAreArray(report.errors));
  EXPECT_EQ(json["interrupted"].text, "SIGINT");

  // What was not read is left out, not written as zero.
  std::ostringstream bare;
  WriteJsonReport(SessionReport{}, bare);
  const Json empty = ReadJson(bare.str());
  EXPECT_TRUE(empty["ok"].boolean);
  for (const char* name : {"type", "versions", "runtime_seconds", "runtime", "modules", "interrupted"})
    EXPECT_FALSE(empty.Has(name)) << name;
}

// A session on the fake port, with a signal raised when a given request goes
// out: the handlers of the real program note it.
class SignalsOnFakePort : public test::XcpTest {
 protected:
  static void SetUpTestSuite() { InstallStopSignals(StopMode::kNoteEvery, "cli_edges_test"); }
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

TEST_F(SignalsOnFakePort, EachSignalLetsTheUpdateFinishThenDisconnects) {
  for (const auto& [signal, name] : {std::pair{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}}) {
    Unit(290);
    after.clear();
    report = {};
    RaiseAt(0x78, signal);
    EXPECT_EQ(Session("connect modules 1 --yes runtime"), 128 + signal) << name;
    // All four writes of the update, then the disconnect; the runtime's meter
    // request never goes out.
    EXPECT_THAT(after, ElementsAre(Bytes{0x78, 0x20, 0x03, 0x00}, Bytes{0x78, 0x38, 0x8B, 0x11},
                                   Bytes{0xBD, 0x69, 0x02, 0x8B, 0x11}, Bytes{0x78, 0x00},
                                   ::testing::Property(&Bytes::front, 0xFF)))
        << name;
    EXPECT_THAT(report.errors,
                ElementsAre(std::string("interrupted (") + name +
                            ") during modules 1: the update was finished; runtime was not run"));
    EXPECT_EQ(report.interrupted, name);
    ASSERT_TRUE(report.modules.has_value());
    EXPECT_EQ(report.modules->outcome, "done");
    // The board as it stands after the disconnect, which clears it first.
    EXPECT_THAT(host.board, ElementsAre("Disconnecting...", "Done"));
    ClearStopSignals();
  }
}

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
    const std::vector<Bytes> whole{{0x78, 0x20, 0x03, 0x00},
                                   {0x78, 0x38, 0x8B, 0x11},
                                   {0xBD, 0x69, 0x02, 0x8B, 0x11},
                                   {0x78, 0x00},
                                   {0xFF}};
    _exit(status == 128 + SIGINT && after == whole && report.modules->outcome == "done" ? 0 : 1);
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

TEST_F(SignalsOnFakePort, TheLineSaysWhatWasInterruptedAndWhatWasNotRun) {
  struct Case {
    std::uint8_t trigger;
    std::string args;
    std::vector<std::string> errors;
    std::uint8_t lastRequest;
  } cases[] = {
      // During the connect (its identification request).
      {0xA0,
       "connect runtime info",
       {"finishing connect; press Ctrl-C again to stop now",
        "interrupted (SIGINT) during connect: it was completed; runtime, info were not run"},
       0xFF},
      // The runtime's meter request goes unanswered: the command fails, which
      // the one line says.
      {0x34,
       "runtime modules 2 --yes info",
       {"finishing runtime; press Ctrl-C again to stop now",
        "interrupted (SIGINT) during runtime: it failed; modules 2, info were not run"},
       0xFF},
      // A command that failed before the signal is named on a line of its own.
      {0x78,
       "runtime modules 2 --yes info",
       {"command failed: runtime",
        "interrupted (SIGINT) during modules 2: the update was finished; info was not run"},
       0xFF},
      // During the last command: nothing was left to run.
      {0x78, "modules 0 --yes", {"interrupted (SIGINT) during modules 0: the update was finished"}, 0xFF},
  };
  for (const Case& c : cases) {
    Unit(290);
    after.clear();
    report = {};
    RaiseAt(c.trigger, SIGINT);
    EXPECT_EQ(Session(c.args), 128 + SIGINT) << c.args;
    EXPECT_THAT(report.errors, ElementsAreArray(c.errors)) << c.args;
    ASSERT_FALSE(after.empty()) << c.args;
    EXPECT_EQ(after.back().front(), c.lastRequest) << c.args;
    ClearStopSignals();
  }
}

TEST_F(SignalsOnFakePort, ASignalBeforeTheSessionSendsNothing) {
  Unit(290);
  std::raise(SIGTERM);
  EXPECT_EQ(Session("connect modules 1 --yes"), 128 + SIGTERM);
  EXPECT_TRUE(port.writes.empty());
  EXPECT_THAT(report.errors,
              ElementsAre("interrupted (SIGTERM) before connecting; connect, modules 1 were not run"));
  ASSERT_TRUE(report.modules.has_value());
  EXPECT_EQ(report.modules->outcome, "not run");
  EXPECT_EQ(report.modules->why, "interrupted before connecting");
}

TEST_F(SignalsOnFakePort, AFailedSessionNamesTheCommandsThatFailed) {
  // No UPS answers.
  EXPECT_EQ(Session("runtime modules 1 --yes info"), 1);
  EXPECT_THAT(report.errors, ElementsAre("commands failed: connect, runtime, modules 1, info"));
  EXPECT_EQ(report.modules->outcome, "link down");

  // A 290 that refuses the update's first write.
  Unit(290);
  ups.answers[0x78] = {test::Ack(0x33)};
  report = {};
  EXPECT_EQ(Session("connect modules 2 --yes"), 1);
  EXPECT_THAT(report.errors,
              ElementsAre("modules 2: the update stopped at step 1 of 4 (the module count): the UPS did not "
                          "acknowledge it; the UPS confirmed no value; run the update again",
                          "command failed: modules 2"));
  EXPECT_EQ(report.modules->outcome, "failed");
  EXPECT_EQ(report.modules->update->ending, KbxUpdateOutcome::Ending::kNotAcknowledged);
}

TEST(StopSignals, ASignalDoesNotShortenAFixedPause) {
  InstallStopSignals(StopMode::kNoteEvery, "cli_edges_test");
  const pthread_t sleeper = pthread_self();
  std::thread signaller([sleeper] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pthread_kill(sleeper, SIGINT);
  });
  SystemClock clock;
  const auto start = std::chrono::steady_clock::now();
  clock.Sleep(300);
  const auto slept = std::chrono::steady_clock::now() - start;
  signaller.join();
  EXPECT_EQ(StopSignal(), SIGINT);
  // Not how fast: that the pause on the line kept its length.
  EXPECT_GE(slept, std::chrono::milliseconds(300));
  ClearStopSignals();
}

// A stream that takes nothing.
class RefusingBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
};

TEST(CliOutput, OutputThatCannotBeWrittenIsSaidOnceAndFails) {
  for (const char* args : {"--com 1=/dev/null ports", "--com 1=/dev/null --json ports"}) {
    RefusingBuffer refusing;
    std::ostream out(&refusing);
    std::ostringstream err;
    std::vector<std::string> words;
    std::istringstream in(args);
    for (std::string word; in >> word;) words.push_back(word);
    EXPECT_EQ(RunKbx(words, out, err, Confirm{}), 1) << args;
    EXPECT_EQ(err.str(), "kbx: could not write the output: write error\n") << args;
  }
}

// A COM number whose default device does not exist says which device it
// looked for, and the settings name that COM number.
TEST(CliJson, AComNumberWithoutItsDeviceSaysWhichDevice) {
  std::ostringstream out, err;
  EXPECT_EQ(RunKbx({"--port", "32767", "--json", "connect"}, out, err, Confirm{}), 1);
  const Json json = ReadJson(out.str());
  EXPECT_THAT(json["errors"].Strings(), ElementsAre("8002 Start: Invalid port number 1",
                                                    "COM32767 is /dev/ttyS32766, which does not exist"));
  EXPECT_EQ(json["settings"].text, "COM32767,19200,N,8,1");
}

TEST(CliJson, APortThatCannotBeOpenedIsReportedWithItsOddPath) {
  const std::string device = "/nonexistent/\xFF\"\x01 caf\xC3\xA9";
  std::ostringstream out, err;
  EXPECT_EQ(
      RunKbx({"--com", "1=" + device, "--json", "connect", "modules", "1", "--yes"}, out, err, Confirm{}), 1);
  const Json json = ReadJson(out.str());
  // The modules command that never ran says why.
  EXPECT_EQ(json["modules"]["outcome"].text, "not run");
  EXPECT_EQ(json["modules"]["why"].text, "the port could not be opened");
  EXPECT_EQ(json["port"].number, 1);
  EXPECT_FALSE(json["ok"].boolean);
  EXPECT_EQ(json["exit"].number, 1);
  EXPECT_EQ(json["device"].text, "/nonexistent/\xC3\xBF\"\x01 caf\xC3\xA9");
  EXPECT_THAT(json["board"].Strings(), ElementsAre("Invalid port number"));
  // The box's text, then why the port could not be used (in valid UTF-8 in the JSON).
  EXPECT_THAT(
      json["errors"].Strings(),
      ElementsAre("8002 Start: Invalid port number 1",
                  "/nonexistent/\xC3\xBF\"\x01 caf\xC3\xA9 does not exist (No such file or directory)"));
  EXPECT_FALSE(json.Has("type"));
  // On the terminal the control character is shown, not obeyed.
  EXPECT_EQ(err.str(),
            "kbx: 8002 Start: Invalid port number 1\nkbx: /nonexistent/\xFF\"\\x01 caf\xC3\xA9"
            " does not exist (No such file or directory)\n");
}

// The one session through the real program that runs with every build: a
// whole session reported as JSON.
TEST(CliJson, TheProgramReportsAWholeSession) {
  const TempFolder temp;
  const std::string& folder = temp.path;
  test::Streams streams;
  streams.stdoutPath = folder + "/out";
  streams.stderrPath = folder + "/err";
  const int status = test::Wait(test::Spawn(
      {KBX_BIN, "--simulate", "290", "--json", "connect", "info", "runtime", "modules", "1", "--yes"},
      streams));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << test::ReadWholeFile(streams.stderrPath);
  const std::string text = test::ReadWholeFile(streams.stdoutPath);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  const Json json = ReadJson(text);
  EXPECT_TRUE(json["ok"].boolean);
  EXPECT_EQ(json["exit"].number, 0);
  EXPECT_EQ(json["port"].number, 1);
  EXPECT_EQ(json["settings"].text, "COM1,19200,N,8,1");
  EXPECT_EQ(json["type"].number, 290);
  EXPECT_EQ(json["versions"]["1"].text, "1.03");
  EXPECT_EQ(json["versions"]["2"].text, "1.03");
  EXPECT_EQ(json["runtime_seconds"].number, 1800);
  EXPECT_EQ(json["runtime"].text, "0:30:00");
  EXPECT_EQ(json["modules"]["requested"].number, 1);
  EXPECT_EQ(json["modules"]["outcome"].text, "done");
  const std::vector<std::string> board = json["board"].Strings();
  ASSERT_EQ(board.size(), 17u) << text;
  EXPECT_EQ(board[3], "UPS type: 290");
  EXPECT_EQ(board[9], "Battery Time Remain:  0:30:00");
  EXPECT_THAT(std::vector(board.end() - 4, board.end()),
              ElementsAre("Updating KBXs...", "Done", "Disconnecting...", "Done"));
  EXPECT_TRUE(json["errors"].items.empty());
  EXPECT_TRUE(test::ReadWholeFile(streams.stderrPath).empty());
}

}  // namespace
}  // namespace kbx
