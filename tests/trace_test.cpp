// The line trace: an Xcp on the fake port through TracingPort, and
// --trace on the command lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <tuple>

#include "link/trace.h"
#include "platform/stop_signals.h"
#include "support/xcp_fixture.h"

namespace kbx::test {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

// An Xcp, started up, whose port is the fake port seen through a trace.
struct Rig {
  explicit Rig(double startOfDay = 10 * 3600.0, const std::string& zone = "+0000 UTC")
      : clock(startOfDay, zone) {
    EXPECT_FALSE(StartUp(xcp).portFailure);
  }

  VirtualClock clock;
  FakePort port{clock};
  std::ostringstream text;
  TracingPort traced{port, clock, text, [](int n) { return "/dev/fake" + std::to_string(n); }};
  RecordingHost host;
  Xcp xcp{traced, clock, host};

  // The lines without their time stamps ("%8lld ms  "), those starting with `prefix`.
  std::vector<std::string> Lines(const std::string& prefix = "") const {
    std::vector<std::string> lines;
    std::istringstream in(text.str());
    for (std::string line; std::getline(in, line);)
      if (line.compare(13, prefix.size(), prefix) == 0) lines.push_back(line.substr(13));
    return lines;
  }
  // A request that expects acknowledgement status 0x31, answered once with `answer`.
  bool Transact(const Bytes& answer) {
    port.Answer({answer});
    return XcpProbe::Link(xcp).XcpTransact({0x95}, 0x31).accepted;
  }
};

TEST(Trace, DatedHeaderTimesAcrossMidnightAndClosingLine) {
  for (auto [startOfDay, pauseMs, zone, header, writeMs, readMs, end] :
       {std::tuple{10 * 3600.0 + 0.25, 2500, "+0530 IST", "10:00:00.250 +0530 IST", "    2500", "    3800",
                   "10:00:04.050"},
        std::tuple{86400 - 1.0, 700, "-0800 PST", "23:59:59.000 -0800 PST", "     700", "    2000",
                   "00:00:01.000"}}) {
    Rig rig(startOfDay, zone);
    rig.clock.Sleep(pauseMs);
    EXPECT_TRUE(rig.Transact(Ack(0x31)));
    rig.traced.Finish();
    rig.traced.Write({0x01});  // nothing after the closing line
    EXPECT_EQ(rig.text.str(), std::string("       0 ms  trace start 2026-03-01 ") + header +
                                  "\n       0 ms  open COM1 (/dev/fake1) 19200,N,8,1\n" + writeMs +
                                  " ms  >  AB 01 95 BF  | request 95, len 1, checksum good\n" + readMs +
                                  " ms  <  AB 09 01 81 31 99  | block 9, seq 81 (#1, last), len 1, checksum "
                                  "good, status 31 Command Accepted\n" +
                                  readMs + " ms  trace end " + end + "\n");
  }
}

// A request with nothing read before the next one, the close or the end is
// noted; so is each stop signal, at the next line.
TEST(Trace, NotesRequestsLeftUnansweredAndStopSignals) {
  InstallStopSignals(StopMode::kNoteEvery, "kbx");
  Rig rig;
  EXPECT_FALSE(rig.Transact({}));
  std::raise(SIGINT);
  EXPECT_TRUE(rig.Transact(Ack(0x31)));
  std::raise(SIGTERM);
  rig.traced.Write({0xAB, 0x01, 0x95, 0xBF});
  rig.traced.Finish();
  ClearStopSignals();
  std::vector<std::string> expected = {"trace start 2026-03-01 10:00:00.000 +0000 UTC",
                                       "open COM1 (/dev/fake1) 19200,N,8,1"};
  for (int at = 0; at <= 6500; at += 1300)  // the six tries of the first request
    expected.push_back("no answer read for the request at " + std::to_string(at) + " ms");
  for (const char* line : {"SIGINT received", "<  AB 09 01 81 31 99", "another stop signal received",
                           "no answer read for the request at 8300 ms", "trace end 10:00:08.300"})
    expected.push_back(line);
  std::vector<std::string> lines;
  for (const auto& line : rig.Lines())
    if (line.rfind(">  AB 01 95 BF", 0) != 0) lines.push_back(line.substr(0, line.find("  |")));
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(rig.Lines(">").size(), 8u);
}

TEST(Trace, EachChunkReadIsDecoded) {
  const std::string head = "block 9, seq 81 (#1, last), len 1, ", ack = head + "checksum good, status ";
  const std::vector<std::pair<Bytes, std::string>> rows = {
      {{0xAB, 0x09, 0x01, 0x81, 0x36, 0x95},
       head + "checksum bad (95, should be 94), status 36 Command Parameter invalid"},
      {Join({BuildResponseFrame(4, 0x01, {0x10, 0x20}), BuildResponseFrame(4, 0x82, {0x30})}),
       "block 4, seq 01 (#1), len 2, checksum good; block 4, seq 82 (#2, last), len 1, checksum good"},
      {BuildResponseFrame(9, 0x81, {}), "block 9, seq 81 (#1, last), len 0 (out of range), checksum good"},
      {Join({{0x55}, Ack(0x31), {0x00, 0xFF, 0x12}, {0xAB, 0x04}}),
       "1 byte of garbage; " + ack +
           "31 Command Accepted; 3 bytes of garbage; incomplete frame: 2 bytes, header cut short"},
      {{0xAB, 0x01, 0x05, 0x81, 0x01, 0x02}, "incomplete frame: block 1, len 5, 6 of 10 bytes"},
      // The statuses' words are the board's (XcpTest.AcknowledgementStatusesAndTheirLines); one the program
      // does not know:
      {Ack(0x38), ack + "38 unknown status"},
  };
  // The hex before the "|" is checked by DatedHeaderTimesAcrossMidnightAndClosingLine.
  for (const auto& [answer, description] : rows) {
    Rig rig;
    rig.Transact(answer);
    EXPECT_THAT(rig.Lines("<"), ElementsAre(EndsWith("  | " + description)));
  }
}

class TracedSession : public XcpTest {};

TEST_F(TracedSession, GoesOnAsWithoutTheTraceButTheAccessCodeNeverAppears) {
  Rig rig;
  Unit(290);
  ups.answers[0x95] = {Ack(0x31)};
  ScriptedUps copy = ups;
  copy.Attach(rig.port);
  for (Xcp* session : {&rig.xcp, &xcp}) {
    session->SetAccessCode({0xA5, 0x5A, 0xC3});
    session->ConnectUps();
    EXPECT_TRUE(session->LinkUp());
    EXPECT_TRUE(session->SetUpsParameter(0x0F, 2));
    session->DisconnectUps();
  }
  EXPECT_EQ(rig.port.opens.size(), port.opens.size());
  EXPECT_EQ(rig.port.Written(), port.Written());
  EXPECT_EQ(rig.host.board, host.board);
  EXPECT_EQ(rig.clock.SleptMs(), clock.SleptMs());

  // The unit got the code (the same writes); the trace did not.
  EXPECT_THAT(rig.text.str(), Not(HasSubstr("A5 5A C3")));
  const std::string hidden = ">  AB 04 CF ** ** ** **  | authorization request, code hidden";
  EXPECT_THAT(rig.Lines(">  AB 04 CF"), ElementsAre(hidden, hidden));
  // What follows the authorization is shown in full.
  EXPECT_EQ(rig.Lines(">  AB 04 95 0F 02 00 ").size(), 1u);
}

TEST(Trace, OpeningAndClosingTheirFailuresIncluded) {
  Rig rig;
  rig.traced.Close();
  rig.traced.Close();  // already closed: nothing to trace
  rig.port.existing = {2};
  PortRequest request;
  request.settings = {19200, 'N', 8, 2};
  EXPECT_THROW(rig.traced.Open(request), RunTimeError);
  rig.port.existing = {1};
  request.settings.baud = 12345;
  EXPECT_THROW(rig.traced.Open(request), RunTimeError);
  rig.port.readError = kErrReadDevice;
  EXPECT_THROW(rig.traced.BytesWaiting(), RunTimeError);
  EXPECT_THAT(rig.Lines(),
              ElementsAre("trace start 2026-03-01 10:00:00.000 +0000 UTC",
                          "open COM1 (/dev/fake1) 19200,N,8,1", "close COM1 (/dev/fake1)",
                          "open COM1 (/dev/fake1) 19200,N,8,1 failed: 8002 Invalid port number",
                          "open COM1 (/dev/fake1) 12345,N,8,1 failed: 380 Invalid property value"));
}

// The machine's clock gives the date and the zone TZ names.
TEST(Trace, TheSystemClockGivesTheDateAndTheZoneOfTz) {
  const char* saved = std::getenv("TZ");
  const std::string before = saved ? saved : "";
  ::setenv("TZ", "XST-5:30", 1);
  ::tzset();
  SystemClock clock;
  const CalendarTime now = clock.Calendar();
  EXPECT_EQ(now.zone, "+0530 XST");
  EXPECT_THAT(now.date, ::testing::MatchesRegex("20[0-9][0-9]-[01][0-9]-[0-3][0-9]"));
  saved ? ::setenv("TZ", before.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
}  // namespace kbx::test
