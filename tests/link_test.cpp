// The serial link: frames, checksums, the exchange's pacing and retries,
// acknowledgements, and the port with its indicators.
#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "link/numbers.h"
#include "support/xcp_fixture.h"

namespace kbx::test {
namespace {

using ::testing::ElementsAre;

TEST(Frame, ChecksumsOfTheWorkedFrames) {
  EXPECT_EQ(BuildRequestFrame({0x12, 0x34}), (Bytes{0xAB, 0x02, 0x12, 0x34, 0x0D}));
  EXPECT_EQ(BuildRequestFrame({0xFF}), (Bytes{0xAB, 0x01, 0xFF, 0x55}));
  EXPECT_EQ(BuildRequestFrame({0xA0}), (Bytes{0xAB, 0x01, 0xA0, 0xB4}));
  EXPECT_EQ(Ack(0x31), (Bytes{0xAB, 0x09, 0x01, 0x81, 0x31, 0x99}));
  EXPECT_EQ(BuildResponseFrame(4, 0x01, {0x10, 0x20}), (Bytes{0xAB, 0x04, 0x02, 0x01, 0x10, 0x20, 0x1E}));
  EXPECT_EQ(BuildResponseFrame(4, 0x82, {0x30}), (Bytes{0xAB, 0x04, 0x01, 0x82, 0x30, 0x9E}));
  // A sum that is already a multiple of 256 needs a checksum of 0, not 256.
  EXPECT_EQ(FrameChecksum(Bytes{0xAB, 0x55}), 0x00);
}

class Extract : public XcpTest {
 protected:
  // Decodes `raw` as it lies in the receive buffer, zeros after it.
  DecodedResponse Decode(const Bytes& raw) {
    Bytes rx(1024, 0);
    std::copy(raw.begin(), raw.end(), rx.begin());
    return DecodeAnswer(rx);
  }
  bool Run(const Bytes& raw) { return Decode(raw).outcome == DecodedResponse::Outcome::kComplete; }
};

TEST_F(Extract, AcceptsOnlyCompleteValidResponses) {
  const Bytes two = Join({BuildResponseFrame(4, 0x01, {0x10, 0x20}), BuildResponseFrame(4, 0x82, {0x30})});
  const DecodedResponse decoded = Decode(two);
  EXPECT_EQ(decoded.outcome, DecodedResponse::Outcome::kComplete);
  EXPECT_EQ(decoded.data, (Bytes{0x10, 0x20, 0x30}));
  EXPECT_EQ(decoded.block, 4);
  EXPECT_EQ(decoded.end, two.size());

  Bytes badChecksum = Ack(0x31);
  badChecksum.back() ^= 1;
  Bytes len0 = BuildResponseFrame(4, 0x81, {0x01});
  len0[2] = 0;
  const Bytes len140 = BuildResponseFrame(4, 0x81, Bytes(140, 0x01));
  const Bytes len141 = BuildResponseFrame(4, 0x81, Bytes(141, 0x01));
  struct Case {
    const char* what;
    Bytes raw;
    bool ok;
  };
  const Case cases[] = {
      {"single ack", Ack(0x31), true},
      {"140 data bytes", len140, true},
      {"no start byte", Join({{0x00}, Ack(0x31)}), false},
      {"length 0", len0, false},
      {"length 141", len141, false},
      {"wrong checksum", badChecksum, false},
      {"second frame numbered 3", Join({BuildResponseFrame(4, 0x01, {1}), BuildResponseFrame(4, 0x83, {2})}),
       false},
      {"first frame numbered 2", BuildResponseFrame(4, 0x82, {1}), false},
      {"last bit clear, nothing after", BuildResponseFrame(4, 0x01, {1}), false},
      {"nothing", {}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(Run(c.raw), c.ok) << c.what;
}

TEST_F(Extract, ReadingPastTheBufferIsAnErrorTheReplyReports) {
  // Frames of 140 bytes back to back, never marked last: the eighth runs past byte 1023.
  Bytes raw;
  for (std::uint8_t n = 1; raw.size() < 1024; ++n) {
    const Bytes frame = BuildResponseFrame(4, n, Bytes(140, n));
    raw.insert(raw.end(), frame.begin(), frame.end());
  }
  raw.resize(1024);
  port.SetOpenDirect(true);
  port.Deliver(raw, 0);
  EXPECT_EQ(XcpProbe::GetResponse(link).code, 0);
  EXPECT_THAT(host.board, ElementsAre("9 Subscript out of range 35"));
}

class Transact : public XcpTest {};

TEST_F(Transact, WritesTheFrameAndAcceptsTheExpectedBlock) {
  port.Answer({Join({BuildResponseFrame(4, 0x01, {0x10, 0x20}), BuildResponseFrame(4, 0x82, {0x30})})});
  const Reply reply = link.XcpTransact({0x34}, 4);
  EXPECT_TRUE(reply.accepted);
  EXPECT_THAT(port.Written(), ElementsAre(Bytes{0xAB, 0x01, 0x34, 0x20}));
  EXPECT_EQ(reply.data, (Bytes{0x10, 0x20, 0x30}));
  EXPECT_TRUE(host.board.empty());
  // The answer came during the 500 ms pause: one quiet window, then 200 ms.
  EXPECT_EQ(clock.SleptMs(), 500 + 600 + 200);
}

TEST_F(Transact, SilentLineWritesSixTimesInAboutSevenSeconds) {
  const double start = clock.Now();
  EXPECT_FALSE(link.XcpTransact({0xA0}, 1));
  ASSERT_EQ(port.writes.size(), 6u);
  for (const auto& w : port.writes) EXPECT_EQ(w.bytes, (Bytes{0xAB, 0x01, 0xA0, 0xB4}));
  // Each attempt: 0.6 s window and 0.2 s settle, then 0.5 s after the repeated write.
  EXPECT_NEAR(port.writes[1].at - port.writes[0].at, 1.3, 1e-6);
  EXPECT_NEAR(clock.Now() - start, 0.5 + 5 * 1.3, 1e-6);
  EXPECT_TRUE(host.board.empty());
}

// Every 600 ms window that brings bytes moves the read's end on by 2 s. On a
// machine where each window lasts 1.9 s, a line busy for 13.5 s is still read
// until it falls quiet; moved on by 1 s a window, the read would stop in it.
TEST_F(Transact, EachBusyWindowMovesTheReadsEndOnByTwoSeconds) {
  long sleptBefore = 0;
  clock.onSleep = [&] {
    if (clock.SleptMs() - std::exchange(sleptBefore, clock.SleptMs()) == 600) clock.Advance(1.3);
  };
  port.onWrite = [&](const Bytes&) {
    port.Deliver(Block(1, {0x07}));
    for (int ms = 500; ms <= 13500; ms += 500) port.Deliver({0x00}, ms);
  };
  const double start = clock.Now();
  EXPECT_TRUE(link.XcpTransact({0xA0}, 1));
  // The pause, seven busy windows and a quiet one, the settling.
  EXPECT_NEAR(clock.Now() - start, 0.5 + 8 * 1.9 + 0.2, 1e-6);
  EXPECT_EQ(port.writes.size(), 1u);
}

TEST_F(Transact, RetriesOnBusyWrongBlockAndGarbageButNotOnRefusals) {
  Bytes badChecksum = Block(1, {0x01});
  badChecksum.back() ^= 0xFF;
  struct Case {
    const char* what;
    std::vector<Bytes> answers;
    int expect;
    bool result;
    std::size_t writes;
  };
  const Case cases[] = {
      {"busy then block", {Ack(0x33), Block(1, {7})}, 1, true, 2},
      {"other block then block", {Block(4, {7}), Block(1, {7})}, 1, true, 2},
      {"bad checksum then block", {badChecksum, Block(1, {7})}, 1, true, 2},
      {"busy five times", {Ack(0x33), Ack(0x33), Ack(0x33), Ack(0x33), Ack(0x33)}, 1, false, 6},
      {"not implemented", {Ack(0x32)}, 1, false, 1},
      {"parameter adjusted", {Ack(0x37)}, 1, false, 1},
      {"accepted when expected", {Ack(0x31)}, 0x31, true, 1},
      {"accepted when a block was expected", {Ack(0x31)}, 1, false, 1},
      {"unknown status", {Ack(0x38), Ack(0x31)}, 0x31, true, 2},
  };
  for (const auto& c : cases) {
    port.writes.clear();
    port.Answer(c.answers);
    EXPECT_EQ(link.XcpTransact({0xA0}, c.expect).accepted, c.result) << c.what;
    EXPECT_EQ(port.writes.size(), c.writes) << c.what;
  }
  EXPECT_TRUE(host.board.empty());
}

TEST_F(Transact, TheAnswerToARepeatedFrameIsReadHoweverSoonItComes) {
  // Busy first; the repeat is answered at once, inside the pause after the
  // write, while a stale byte of the busy answer is still on the line.
  int n = 0;
  port.onWrite = [&](const Bytes&) {
    if (++n == 1) {
      port.Deliver(Ack(0x33), 10);
      port.Deliver({0x00}, 1500);  // trails in after the busy answer was read
    } else {
      port.Deliver(Block(1, {2}), 10);
    }
  };
  EXPECT_EQ(link.XcpTransact({0xA0}, 1).data, (Bytes{2}));
  EXPECT_EQ(port.writes.size(), 2u);
}

TEST_F(Transact, ALateAnswerInFrontOfTheAnswerIsPassedOver) {
  // The acknowledgement of an earlier request arrives after the flush, just
  // before the answer to this one.
  port.onWrite = [&](const Bytes&) { port.Deliver(Join({Ack(0x31), Block(1, {7, 8})}), 30); };
  const Reply reply = link.XcpTransact({0xA0}, 1);
  EXPECT_TRUE(reply.accepted);
  EXPECT_EQ(reply.data, (Bytes{7, 8}));

  // A late acceptance does not stand for a busy answer: the request is repeated.
  port.writes.clear();
  port.Answer({Join({Ack(0x31), Ack(0x33)}), Ack(0x31)});
  EXPECT_TRUE(link.XcpTransact({0x95, 0x0F, 0x02, 0x00}, 0x31));
  EXPECT_EQ(port.writes.size(), 2u);

  // Noise behind the answer is not an answer: a stray start byte, or a
  // frame that runs past the buffer.
  for (const Bytes& noise : {Bytes{0xAB}, Bytes{0xAB, 0x04, 0x8C, 0x01}}) {
    port.Answer({Join({Block(1, {7}), noise})});
    const Reply answer = link.XcpTransact({0xA0}, 1);
    EXPECT_TRUE(answer.accepted);
    EXPECT_EQ(answer.data, Bytes{7});
  }
  EXPECT_TRUE(host.board.empty());
}

TEST_F(Transact, ExpectingNothingReturnsAfterThePauseAndLeavesTheAnswer) {
  port.Answer({Ack(0x31)});
  EXPECT_TRUE(link.XcpTransact({0x78, 0x00}, 0));
  EXPECT_EQ(clock.SleptMs(), 500);
  EXPECT_EQ(port.BytesWaiting(), 6);
}

TEST_F(Transact, ClosedPortSendsNothing) {
  port.Close();
  EXPECT_FALSE(link.XcpTransact({0xA0}, 1));
  EXPECT_FALSE(link.XcpTransact({0xA0}, 0));
  EXPECT_TRUE(port.writes.empty());
  EXPECT_TRUE(host.board.empty());
}

// Across midnight the time of day starts again from 0: on a silent line and
// on one that never falls quiet the read still ends with its budget, and the
// five attempts end the exchange.
TEST_F(Transact, AcrossMidnightTheAttemptLimitEndsIt) {
  for (const bool babbling : {false, true}) {
    VirtualClock lateClock(86400.0 - 5);
    FakePort latePort(lateClock);
    RecordingHost lateHost;
    Xcp late(latePort, lateClock, lateHost);
    ASSERT_FALSE(StartUp(late).portFailure);
    if (babbling) {
      latePort.onWrite = [&](const Bytes&) {
        for (int k = 0; k <= 1100; ++k) latePort.Deliver({0x55}, 20 + 550 * k);
      };
    }
    const double start = lateClock.Now();
    EXPECT_FALSE(XcpProbe::Link(late).XcpTransact({0xA0}, 1)) << babbling;
    // Babbling: the first read to the budget, four more of one busy window each.
    EXPECT_LT(lateClock.Now() - start, babbling ? 22.0 : 7.5) << babbling;
    EXPECT_EQ(latePort.writes.size(), 6u) << babbling;
  }
}

TEST_F(Transact, ThePortFailingMidExchangeIsReportedWithTag5) {
  port.onWrite = [&](const Bytes&) { port.SetOpenDirect(false); };
  EXPECT_FALSE(link.XcpTransact({0xA0}, 1));
  EXPECT_THAT(host.board, ElementsAre("8012 The device is not open 5"));
}

TEST_F(Transact, SendDisconnectWritesTheOneByteRequest) {
  EXPECT_TRUE(link.SendDisconnect());
  EXPECT_THAT(port.Written(), ElementsAre(Bytes{0xAB, 0x01, 0xFF, 0x55}));
}

// After its answer to the identification request the line brings a byte
// every 0.55 s for ten minutes: every 600 ms window sees a byte.
class Babble : public XcpTest {
 protected:
  void BabbleAfter(std::uint8_t command) {
    auto attached = port.onWrite;
    port.onWrite = [this, attached, command](const Bytes& frame) {
      attached(frame);
      if (babbling_ || frame.size() < 3 || frame[2] != command) return;
      babbling_ = true;
      for (int k = 1; k <= 1100; ++k) port.Deliver({0x55}, 20 + 550 * k);
    };
  }
  bool babbling_ = false;
};

TEST_F(Babble, AReadEndsWhenTheExchangeBudgetIsSpent) {
  UnitWith({{1, 3}, {1, 3}}, {290});
  BabbleAfter(0xA0);
  const double start = clock.Now();
  xcp.ConnectUps();
  const double took = clock.Now() - start;
  EXPECT_THAT(host.board, ElementsAre("Connecting...", "NO UPS Found", "Done"));
  EXPECT_FALSE(xcp.LinkUp());
  // Each of the two requests: its 15 s budget, then written once more as for
  // no answer; with the authorization and the fixed waits about 33 s.
  EXPECT_GT(took, 30.0);
  EXPECT_LT(took, 35.0);
  EXPECT_EQ(ups.RequestsStartingWith(0xA0).size(), 2u);
  EXPECT_EQ(ups.RequestsStartingWith(0x36).size(), 2u);
}

// The answer at the front of a read that the budget ended is not taken.
TEST_F(Babble, TheExchangeFailsAsForNoAnswer) {
  UnitWith({{1, 3}, {1, 3}}, {290});
  BabbleAfter(0xA0);
  xcp.OpenPort();
  const double start = clock.Now();
  EXPECT_FALSE(link.XcpTransact({0xA0}, 1));
  // 0.5 s after the write, 600 ms windows up to the budget of the write's
  // whole second plus 15 s, then the repeated write and its pause.
  EXPECT_GT(clock.Now() - start, 15.0);
  EXPECT_LT(clock.Now() - start, 16.7);
  EXPECT_EQ(port.writes.size(), 2u);
  EXPECT_TRUE(host.board.empty());
}

// An acknowledgement read after a write that waited for none ends within the
// write's budget too.
TEST_F(Babble, AnAcknowledgementReadEndsWithinTheBudget) {
  xcp.OpenPort();
  port.onWrite = [this](const Bytes&) {
    port.Deliver(Ack(0x31));
    for (int k = 1; k <= 1100; ++k) port.Deliver({0x55}, 20 + 550 * k);
  };
  const double start = clock.Now();
  ASSERT_TRUE(link.XcpTransact({0x78, 0x00}, 0));
  EXPECT_FALSE(xcp.CheckAck(9));
  EXPECT_LT(clock.Now() - start, 16.7);
  EXPECT_TRUE(host.board.empty());
}

class Read : public XcpTest {};

TEST_F(Read, KeepsEveryByteAndStopsOnAFullBuffer) {
  // A line that never falls quiet: 100 bytes every 100 ms for a minute.
  ASSERT_TRUE(link.XcpTransact({0x34}, 0));  // reads follow a write, within its budget
  for (int i = 0; i < 600; ++i) port.Deliver(Bytes(100, static_cast<std::uint8_t>(i)), i * 100);
  const double start = clock.Now();
  const std::optional<Bytes> read = XcpProbe::ReadPort(link);
  ASSERT_TRUE(read);
  EXPECT_LT(clock.Now() - start, 3.0);
  ASSERT_EQ(read->size(), 1024u);
  EXPECT_EQ((*read)[1023], 10);  // the eleventh chunk filled the buffer
}

TEST_F(Read, BytesArrivingAfterTheCountAreKept) {
  port.Deliver(Bytes(10, 0x11), 0);
  port.beforeInput = [&] { port.Deliver(Bytes(5, 0x22), 0); };
  const std::optional<Bytes> read = XcpProbe::ReadPort(link);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, Join({Bytes(10, 0x11), Bytes(5, 0x22)}));
}

TEST_F(Read, ATrickleKeepsTheWindowOpen) {
  // One byte every 500 ms for 10 s, beyond the 6 s base window: each window
  // that brings something new moves the end on.
  ASSERT_TRUE(link.XcpTransact({0x34}, 0));  // reads follow a write, within its budget
  for (int i = 0; i < 20; ++i) port.Deliver({static_cast<std::uint8_t>(i + 1)}, 100 + i * 500);
  const std::optional<Bytes> read = XcpProbe::ReadPort(link);
  ASSERT_TRUE(read);
  ASSERT_EQ(read->size(), 20u);
  EXPECT_EQ((*read)[19], 20);
}

class Acks : public XcpTest {};

TEST_F(Acks, StatusesAndTheirLines) {
  Bytes wrongChecksum = Ack(0x35);
  wrongChecksum.back() ^= 0xFF;
  struct Case {
    Bytes answer;
    bool result;
    const char* line;
  };
  const Case cases[] = {
      {Ack(0x31), true, nullptr},
      {Ack(0x32), false, "Command Not Implemented (32)"},
      {Ack(0x33), false, "UPS Busy (33)"},
      {Ack(0x34), false, "Command Unrecognized (34)"},
      {Ack(0x35), false, "Command Parameter out of range (35)"},
      {Ack(0x36), false, "Command Parameter invalid (36)"},
      {Ack(0x37), false, "Command Accepted with parameter adjusted (37)"},
      {Ack(0x30), false, "Unknown ACK 48"},
      {Ack(0x38), false, "Unknown ACK 56"},
      {wrongChecksum, false, "Command Parameter out of range (35)"},
      {Block(4, {0x31}), false, nullptr},
      {{}, false, nullptr},
  };
  for (const auto& c : cases) {
    host.ClearBoard();
    if (!c.answer.empty()) port.Deliver(c.answer, 0);
    EXPECT_EQ(xcp.CheckAck(9), c.result);
    if (c.line) {
      EXPECT_THAT(host.board, ElementsAre(c.line));
    } else {
      EXPECT_TRUE(host.board.empty()) << host.board.front();
    }
    EXPECT_EQ(host.failures, host.board);  // every refusal is drawn as a failure
  }
}

TEST_F(Acks, AFailingReadIsNoAck) {
  port.Deliver(Ack(0x31), 0);
  port.onWrite = nullptr;
  port.SetOpenDirect(false);
  // Input on a port that went away fails inside the read.
  port.existing.clear();
  struct Gone : FakePort {
    using FakePort::FakePort;
    int BytesWaiting() override { throw RunTimeError(kErrReadDevice); }
  } gone(clock);
  Xcp other(gone, clock, host);
  EXPECT_FALSE(other.CheckAck(9));
  EXPECT_THAT(host.board, ElementsAre("8020 Error reading comm device 4", "NO ACK"));
}

TEST(FixLength, PadsOnTheLeftAndKeepsTheLeftmost) {
  EXPECT_EQ(FixLength("A", 2), "0A");
  EXPECT_EQ(FixLength("1F", 4), "001F");
  EXPECT_EQ(FixLength("", 2), "00");
  EXPECT_EQ(FixLength("ABCDE", 4), "ABCD");
  EXPECT_EQ(FixLength("3E2", 4), "03E2");
  EXPECT_EQ(FixLength("12", 2), "12");
}

TEST(Numbers, ConversionsRaiseTheirErrors) {
  EXPECT_EQ(ToInteger(2.5), 2);
  EXPECT_EQ(ToInteger(3.5), 4);
  EXPECT_EQ(ToLong(36000.5), 36000);
  EXPECT_EQ(ToInteger(32767), 32767);
  EXPECT_THROW(ToInteger(32768), RunTimeError);
  EXPECT_EQ(IntegerFromText(" 12 "), 12);
  for (const auto& [text, number, description] :
       {std::tuple{"A", 13, "Type mismatch"}, std::tuple{"40000", 6, "Overflow"}}) {
    try {
      IntegerFromText(text);
      ADD_FAILURE() << text;
    } catch (const RunTimeError& e) {
      EXPECT_EQ(e.number(), number) << text;
      EXPECT_EQ(e.description(), description) << text;
    }
  }
  EXPECT_FALSE(IsNumeric(""));
  EXPECT_TRUE(IsNumeric("-1.5e3"));
  EXPECT_FALSE(IsNumeric("1.0A"));
  EXPECT_EQ(HexValue("3E2"), 0x3E2u);
  EXPECT_EQ(HexValue("1Z"), 1u);
  EXPECT_EQ(HexValue("ZZ"), 0u);
  EXPECT_EQ(SignedNumberText(1), " 1");
  EXPECT_EQ(SignedNumberText(-3), "-3");
}

class Port : public XcpTest {};

TEST_F(Port, StartUpSettingsAndLabel) {
  EXPECT_EQ(port.Describe().settings, "19200,N,8,1");
  EXPECT_EQ(host.portState.settingsLabel, " COM1,19200,N,8,1");
  EXPECT_TRUE(host.portState.open);
  EXPECT_FALSE(host.portState.linkUp);
  EXPECT_TRUE(port.IsOpen());
  // RTS and DTR raised, no flow control, the buffers of 1024 and 512 bytes.
  ASSERT_FALSE(port.opens.empty());
  const PortRequest& request = port.opens.back();
  EXPECT_EQ(std::tie(request.commPort, request.settings, request.rtsEnable, request.dtrEnable,
                     request.handshaking, request.inBufferSize, request.outBufferSize),
            std::make_tuple(1, std::string("19200,N,8,1"), true, true, 0L, 1024, 512));
}

TEST_F(Port, EmptyArgumentsKeepTheStoredSettings) {
  xcp.ConfigurePort({"", "", 0, 0, ""});
  EXPECT_EQ(xcp.StoredPortSettings().LineSettings(), "19200,N,8,1");
  EXPECT_EQ(xcp.StoredPortSettings().comPort, "1");
  EXPECT_TRUE(port.IsOpen());
}

TEST_F(Port, FailuresAndTheirLines) {
  struct Case {
    const char* what;
    std::string comPort;
    std::string baud;
    int openError;
    const char* line;
    int pending;
  };
  const Case cases[] = {
      {"no such port", "3", "19200", 0, "Invalid port number", 8002},
      {"refused baud", "1", "12345", 0, "Invalid Baud Rate", 380},
      {"busy device", "1", "19200", 8012, "Unable to open port", 8012},
      {"line settings", "1", "19200", 8015, "Invalid communications parameters", 8015},
      {"already open", "1", "19200", 8005, "Port already open", 8005},
      {"other error", "1", "19200", 8020, "8020 Error reading comm device", 0},
      {"port text", "A", "19200", 0, "13 Type mismatch", 0},
  };
  for (const auto& c : cases) {
    host.ClearBoard();
    ASSERT_FALSE(xcp.ConfigurePort({"19200", "", 0, 0, "1"}));  // back to a good port
    ASSERT_TRUE(port.IsOpen());
    link.SetLinkUp(true);
    port.openError = c.openError;
    const PortOutcome outcome = xcp.ConfigurePort({c.baud, "", 0, 0, c.comPort});
    EXPECT_THAT(host.board, ElementsAre(c.line)) << c.what;
    EXPECT_EQ(host.failures, host.board) << c.what;
    // The caller sees what it may act on; any other error is done with.
    EXPECT_EQ(outcome ? outcome->number : 0, c.pending) << c.what;
    if (outcome) {
      EXPECT_EQ(outcome->description, ErrorDescription(c.pending)) << c.what;
    }
    EXPECT_FALSE(port.IsOpen()) << c.what;
    EXPECT_FALSE(host.portState.open) << c.what;
    EXPECT_FALSE(xcp.LinkUp()) << c.what;
  }
}

TEST_F(Port, AFailedOpenShowsTheLinkDown) {
  link.SetLinkUp(true);
  xcp.OpenPort();
  ASSERT_TRUE(host.portState.linkUp);
  port.existing.erase(1);  // the device has vanished
  xcp.OpenPort();
  EXPECT_FALSE(host.portState.open);
  EXPECT_FALSE(host.portState.linkUp);
  EXPECT_FALSE(xcp.LinkUp());
}

TEST_F(Port, FlushEmptiesTheReceiveSide) {
  port.Deliver(Bytes(50, 1), 0);
  xcp.FlushPort();
  EXPECT_EQ(port.BytesWaiting(), 0);
  port.Close();
  xcp.FlushPort();
  EXPECT_EQ(clock.SleptMs(), 0);
}

TEST_F(Port, FlushingALineThatNeverDrainsOrFallsQuietEnds) {
  struct Stuck : FakePort {
    using FakePort::FakePort;
    int PendingOutput() override { return 10; }
    int BytesWaiting() override { return 5; }  // always more coming
    Bytes ReadAll() override { return Bytes(5, 0x11); }
  } stuck(clock);
  Xcp other(stuck, clock, host);
  other.FlushPort();
  // A bounded wait in sleeps, not a spin: two seconds for the transmit side.
  EXPECT_EQ(clock.SleptMs(), 2000);
}

}  // namespace
}  // namespace kbx::test
