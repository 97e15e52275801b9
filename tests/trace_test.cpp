// The line trace: an Xcp on the fake port through TracingSerialControl, and
// --trace on the command lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "app/desktop.h"
#include "cli/cli_options.h"
#include "cli/kbx_cli.h"
#include "link/trace.h"
#include "support/xcp_fixture.h"

namespace kbx {
namespace {

using test::Ack;
using test::FakePort;
using test::Join;
using test::RecordingHost;
using test::ScriptedUps;
using test::VirtualClock;
using ::testing::HasSubstr;
using ::testing::Not;

struct TraceLine {
  long long ms;
  std::string text;  // after the time stamp
};

std::string Hex(const Bytes& bytes) {
  std::string text;
  char byte[4];
  for (auto b : bytes) {
    std::snprintf(byte, sizeof byte, "%02X", b);
    text += (text.empty() ? "" : " ") + std::string(byte);
  }
  return text;
}

// An Xcp whose port is the fake port seen through a trace.
struct Rig {
  explicit Rig(double startOfDay = 10 * 3600.0) : clock(startOfDay) {}

  VirtualClock clock;
  FakePort port{clock};
  std::ostringstream text;
  TracingSerialControl traced{port, clock, text, [](int n) { return "/dev/fake" + std::to_string(n); }};
  RecordingHost host;
  Xcp xcp{traced, clock, host};

  // Every line, parsed; only those whose text starts with `prefix` when given.
  std::vector<TraceLine> Lines(const std::string& prefix = "") const {
    std::vector<TraceLine> lines;
    std::istringstream in(text.str());
    for (std::string line; std::getline(in, line);) {
      long long ms = -1;
      int used = 0;
      EXPECT_EQ(std::sscanf(line.c_str(), "%lld ms  %n", &ms, &used), 1) << line;
      TraceLine parsed{ms, line.substr(static_cast<std::size_t>(used))};
      if (parsed.text.rfind(prefix, 0) == 0) lines.push_back(parsed);
    }
    return lines;
  }
  // A request that expects acknowledgement status 0x31, answered once with `answer`.
  bool Transact(const Bytes& answer) {
    port.Answer({answer});
    return xcp.XcpTransact(1, {0x95}, 0x31);
  }
};

void ConnectableUnit(ScriptedUps& ups) {
  ups.answers[0xA0] = {test::Block(1, test::IdBlock({{1, 3}, {1, 3}}, 0x05, test::MeterMap36(0xF0), 1, 16))};
  Bytes typeBlock(16, 0);
  typeBlock[0] = 290 & 0xFF;
  typeBlock[1] = 290 >> 8;
  ups.answers[0x36] = {test::Block(6, typeBlock)};
  ups.answers[0xCF] = {Ack(0x31)};
  ups.answers[0x95] = {Ack(0x31)};
}

TEST(Trace, TimesFollowTheClockAcrossMidnight) {
  struct Row {
    double startOfDay;
    int pauseMs;  // before the request
    const char* header;
    long long writeMs, readMs;
  };
  const Row rows[] = {
      {10 * 3600.0, 0, "trace start at 10:00:00.000", 0, 1300},
      {10 * 3600.0 + 0.25, 2500, "trace start at 10:00:00.250", 2500, 3800},
      {86400 - 0.5, 0, "trace start at 23:59:59.500", 0, 1300},
      {86400 - 1.0, 700, "trace start at 23:59:59.000", 700, 2000},
  };
  for (const Row& row : rows) {
    Rig rig(row.startOfDay);
    ASSERT_EQ(StartUp(rig.xcp), "");
    rig.clock.Sleep(row.pauseMs);
    EXPECT_TRUE(rig.Transact(Ack(0x31)));
    const auto all = rig.Lines();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front().ms, 0);
    EXPECT_EQ(all.front().text, row.header);
    const auto writes = rig.Lines(">"), reads = rig.Lines("<");
    ASSERT_EQ(writes.size(), 1u) << row.header;
    ASSERT_EQ(reads.size(), 1u) << row.header;
    EXPECT_EQ(writes[0].ms, row.writeMs) << row.header;
    EXPECT_EQ(reads[0].ms, row.readMs) << row.header;
    EXPECT_EQ(writes[0].text, ">  AB 01 95 BF  | request 95, len 1, checksum good");
  }
}

TEST(Trace, EachChunkReadIsDecoded) {
  struct Row {
    Bytes answer;
    std::string description;
  };
  const Row rows[] = {
      {Ack(0x31), "block 9, seq 81 (#1, last), len 1, checksum good, status 31 Command Accepted"},
      {Ack(0x32), "block 9, seq 81 (#1, last), len 1, checksum good, status 32 Command Not Implemented"},
      {Ack(0x33), "block 9, seq 81 (#1, last), len 1, checksum good, status 33 UPS Busy"},
      {Ack(0x34), "block 9, seq 81 (#1, last), len 1, checksum good, status 34 Command Unrecognized"},
      {Ack(0x35),
       "block 9, seq 81 (#1, last), len 1, checksum good, status 35 Command Parameter out of range"},
      {Ack(0x36), "block 9, seq 81 (#1, last), len 1, checksum good, status 36 Command Parameter invalid"},
      {Ack(0x37),
       "block 9, seq 81 (#1, last), len 1, checksum good, status 37 Command Accepted with parameter "
       "adjusted"},
      {Ack(0x38), "block 9, seq 81 (#1, last), len 1, checksum good, status 38 unknown status"},
      {{0xAB, 0x09, 0x01, 0x81, 0x36, 0x95},
       "block 9, seq 81 (#1, last), len 1, checksum bad (95, should be 94), status 36 Command Parameter "
       "invalid"},
      {Join({BuildResponseFrame(4, 0x01, {0x10, 0x20}), BuildResponseFrame(4, 0x82, {0x30})}),
       "block 4, seq 01 (#1), len 2, checksum good; block 4, seq 82 (#2, last), len 1, checksum good"},
      {BuildResponseFrame(9, 0x81, {}), "block 9, seq 81 (#1, last), len 0 (out of range), checksum good"},
      {{0x00, 0xFF, 0x12}, "3 bytes of garbage"},
      {Join({{0x55}, Ack(0x31)}),
       "1 byte of garbage; block 9, seq 81 (#1, last), len 1, checksum good, status 31 Command Accepted"},
      {{0xAB, 0x09, 0x01}, "incomplete frame: 3 bytes, header cut short"},
      {{0xAB, 0x01, 0x05, 0x81, 0x01, 0x02}, "incomplete frame: block 1, len 5, 6 of 10 bytes"},
      {Join({Ack(0x31), {0xAB, 0x04}}),
       "block 9, seq 81 (#1, last), len 1, checksum good, status 31 Command Accepted; incomplete frame: 2 "
       "bytes, header cut short"},
  };
  for (const Row& row : rows) {
    Rig rig;
    ASSERT_EQ(StartUp(rig.xcp), "");
    rig.Transact(row.answer);
    const auto reads = rig.Lines("<");
    ASSERT_EQ(reads.size(), 1u) << Hex(row.answer);
    EXPECT_EQ(reads[0].text, "<  " + Hex(row.answer) + "  | " + row.description);
  }
}

TEST(Trace, TheAccessCodeNeverAppears) {
  Rig rig;
  ScriptedUps ups;
  ConnectableUnit(ups);
  ups.Attach(rig.port);
  ASSERT_EQ(StartUp(rig.xcp), "");
  rig.xcp.AccessCode = {0xA5, 0x5A, 0xC3};
  rig.xcp.ConnectUps();
  ASSERT_TRUE(rig.xcp.LinkUp);
  EXPECT_TRUE(rig.xcp.SetUpsParameter("F", "2"));

  // The UPS got the code; the trace did not.
  const Bytes request{0xAB, 0x04, 0xCF, 0xA5, 0x5A, 0xC3, 0xC0};
  const auto written = rig.port.Written();
  EXPECT_EQ(std::count(written.begin(), written.end(), request), 2);
  EXPECT_THAT(rig.text.str(), Not(HasSubstr("A5 5A C3")));
  int authorizations = 0;
  for (const auto& line : rig.Lines(">  AB 04 CF")) {
    EXPECT_EQ(line.text, ">  AB 04 CF ** ** ** **  | authorization request, code hidden");
    ++authorizations;
  }
  EXPECT_EQ(authorizations, 2);
  // What follows the authorization is shown in full.
  EXPECT_EQ(rig.Lines(">  AB 04 95 0F 02 00 ").size(), 1u);
}

TEST(Trace, ASessionGoesOnAsWithoutTheTrace) {
  Rig rig;
  VirtualClock clock;
  FakePort port{clock};
  RecordingHost host;
  Xcp plain{port, clock, host};
  ScriptedUps ups1, ups2;
  ConnectableUnit(ups1);
  ConnectableUnit(ups2);
  ups1.Attach(rig.port);
  ups2.Attach(port);
  for (Xcp* xcp : {&rig.xcp, &plain}) {
    ASSERT_EQ(StartUp(*xcp), "");
    xcp->ConnectUps();
    EXPECT_TRUE(xcp->LinkUp);
    EXPECT_TRUE(xcp->SetUpsParameter("F", "1"));
    xcp->DisconnectUps();
  }
  EXPECT_EQ(rig.port.calls, port.calls);
  EXPECT_EQ(rig.port.Written(), port.Written());
  EXPECT_EQ(rig.host.board, host.board);
  EXPECT_EQ(rig.clock.SleptMs(), clock.SleptMs());
}

TEST(Trace, OpeningAndClosingTheirFailuresIncluded) {
  Rig rig;
  ASSERT_EQ(StartUp(rig.xcp), "");
  rig.traced.SetPortOpen(false);
  rig.traced.SetPortOpen(false);  // already closed: nothing to trace
  rig.port.existing = {2};
  EXPECT_THROW(rig.traced.SetPortOpen(true), RunTimeError);
  EXPECT_THROW(rig.traced.SetSettings("12345,N,8,1"), RunTimeError);
  rig.port.readError = kErrReadDevice;
  EXPECT_THROW(rig.traced.InBufferCount(), RunTimeError);
  EXPECT_EQ(rig.traced.Settings(), "19200,N,8,1");

  std::vector<std::string> texts;
  for (const auto& line : rig.Lines()) texts.push_back(line.text);
  EXPECT_THAT(texts,
              ::testing::ElementsAre("trace start at 10:00:00.000", "open COM1 (/dev/fake1) 19200,N,8,1",
                                     "close COM1 (/dev/fake1)",
                                     "open COM1 (/dev/fake1) 19200,N,8,1 failed: 8002 Invalid port number",
                                     "settings \"12345,N,8,1\" refused: 380 Invalid property value"));
}

TEST(TraceOption, IsUnderstoodByBothPrograms) {
  CliOptions cli;
  DesktopOptions desktop;
  std::string error;
  ASSERT_TRUE(ParseCliOptions({"--trace", "t.txt", "connect"}, cli, error)) << error;
  EXPECT_EQ(cli.trace, "t.txt");
  ASSERT_TRUE(ParseDesktopOptions({"--trace", "t.txt"}, desktop, error)) << error;
  EXPECT_EQ(desktop.trace, "t.txt");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--trace"}, {"--trace", ""}}) {
    CliOptions c;
    DesktopOptions d;
    error.clear();
    EXPECT_FALSE(ParseCliOptions(args, c, error));
    EXPECT_THAT(error, HasSubstr("--trace needs a"));
    error.clear();
    EXPECT_FALSE(ParseDesktopOptions(args, d, error));
    EXPECT_THAT(error, HasSubstr("--trace needs a"));
  }
}

TEST(TraceOption, AFileThatCannotBeWrittenIsAUsageError) {
  for (const char* path : {"/nonexistent-kbx-dir/trace.txt", "/"}) {
    std::ostringstream out, err;
    EXPECT_EQ(RunKbx({"--simulate", "--trace", path, "connect"}, out, err, Confirm{}), 2) << path;
    EXPECT_EQ(out.str(), "") << path;
    EXPECT_THAT(err.str(), HasSubstr(std::string("kbx: cannot write the trace file \"") + path + "\""));
  }
}

TEST(TraceOption, KbxWritesTheTraceOfItsSession) {
  int argc = 1;
  char name[] = "trace_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  char path[] = "/tmp/kbx-trace-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ostringstream out, err;
  EXPECT_EQ(
      RunKbx({"--simulate", "--access-code", "A55AC3", "--trace", path, "connect"}, out, err, Confirm{}), 0)
      << err.str();
  std::ifstream in(path);
  std::stringstream trace;
  trace << in.rdbuf();
  std::remove(path);
  EXPECT_THAT(trace.str(), HasSubstr("open COM1 (/dev/pts/"));
  EXPECT_THAT(trace.str(), HasSubstr(">  AB 04 CF ** ** ** **  | authorization request, code hidden"));
  EXPECT_THAT(trace.str(), HasSubstr("  <  AB 01 "));
  EXPECT_THAT(trace.str(), Not(HasSubstr("A5 5A C3")));
}

}  // namespace
}  // namespace kbx
