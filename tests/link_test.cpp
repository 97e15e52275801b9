// The serial link: frames, checksums, the exchange's pacing and retries,
// acknowledgements, and the port with its indicators.
#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "support/xcp_fixture.h"

namespace kbx::test {
namespace {

using ::testing::ElementsAre;

TEST(Frame, ChecksumsOfTheWorkedFrames) {
  EXPECT_EQ(BuildRequestFrame({0x12, 0x34}), (Bytes{0xAB, 0x02, 0x12, 0x34, 0x0D}));
  EXPECT_EQ(BuildResponseFrame(4, 0x82, {0x30}), (Bytes{0xAB, 0x04, 0x01, 0x82, 0x30, 0x9E}));
  // A sum that is already a multiple of 256 needs a checksum of 0, not 256.
  EXPECT_EQ(FrameChecksum(Bytes{0xAB, 0x55}), 0x00);
}

// An answer as it lies in the receive buffer, zeros after it.
TEST(Decode, AcceptsOnlyCompleteValidResponses) {
  using enum DecodedResponse::Outcome;
  Bytes badChecksum = Ack(0x31);
  badChecksum.back() ^= 1;
  Bytes len0 = BuildResponseFrame(4, 0x81, {0x01});
  len0[2] = 0;
  // Frames of 140 bytes back to back, never marked last: the eighth runs past byte 1023.
  Bytes pastTheEnd;
  for (std::uint8_t n = 1; pastTheEnd.size() < 1024; ++n)
    pastTheEnd = Join({pastTheEnd, BuildResponseFrame(4, n, Bytes(140, n))});
  pastTheEnd.resize(1024);
  const struct {
    const char* what;
    Bytes raw;
    DecodedResponse::Outcome outcome;
  } cases[] = {
      {"single ack", Ack(0x31), kComplete},
      {"140 data bytes", BuildResponseFrame(4, 0x81, Bytes(140, 0x01)), kComplete},
      {"no start byte", Join({{0x00}, Ack(0x31)}), kInvalid},
      {"length 0", len0, kInvalid},
      {"length 141", BuildResponseFrame(4, 0x81, Bytes(141, 0x01)), kInvalid},
      {"wrong checksum", badChecksum, kInvalid},
      {"second frame numbered 3", Join({BuildResponseFrame(4, 0x01, {1}), BuildResponseFrame(4, 0x83, {2})}),
       kInvalid},
      {"first frame numbered 2", BuildResponseFrame(4, 0x82, {1}), kInvalid},
      {"last bit clear, nothing after", BuildResponseFrame(4, 0x01, {1}), kInvalid},
      {"nothing", {}, kInvalid},
      {"past the end", pastTheEnd, kPastTheEnd},
  };
  for (const auto& c : cases) {
    Bytes rx(1024, 0);
    std::copy(c.raw.begin(), c.raw.end(), rx.begin());
    EXPECT_EQ(DecodeAnswer(rx).outcome, c.outcome) << c.what;
  }
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
  const struct {
    const char* what;
    std::vector<Bytes> answers;
    int expect;
    bool result;
    std::size_t writes;
    Bytes data;
  } cases[] = {
      {"busy then block", {Ack(0x33), Block(1, {7})}, 1, true, 2, {7}},
      {"other block then block", {Block(4, {7}), Block(1, {7})}, 1, true, 2, {7}},
      {"bad checksum then block", {badChecksum, Block(1, {7})}, 1, true, 2, {7}},
      {"busy five times", {Ack(0x33), Ack(0x33), Ack(0x33), Ack(0x33), Ack(0x33)}, 1, false, 6, {}},
      {"not implemented", {Ack(0x32)}, 1, false, 1, {}},
      {"parameter adjusted", {Ack(0x37)}, 1, false, 1, {}},
      {"accepted when expected", {Ack(0x31)}, 0x31, true, 1, {0x31}},
      {"accepted when a block was expected", {Ack(0x31)}, 1, false, 1, {}},
      {"unknown status", {Ack(0x38), Ack(0x31)}, 0x31, true, 2, {0x31}},
      // The acknowledgement of an earlier request came after the flush, just
      // before the answer to this one.
      {"late acceptance in front", {Join({Ack(0x31), Block(1, {7, 8})})}, 1, true, 1, {7, 8}},
      // ... but it does not stand for a busy answer: the request is repeated.
      {"late acceptance, then busy", {Join({Ack(0x31), Ack(0x33)}), Ack(0x31)}, 0x31, true, 2, {0x31}},
      // Noise behind the answer is not an answer.
      {"a stray start byte behind", {Join({Block(1, {7}), {0xAB}})}, 1, true, 1, {7}},
      {"a frame past the buffer behind", {Join({Block(1, {7}), {0xAB, 0x04, 0x8C, 0x01}})}, 1, true, 1, {7}},
  };
  for (const auto& c : cases) {
    port.writes.clear();
    port.Answer(c.answers);
    const Reply reply = link.XcpTransact({0xA0}, c.expect);
    EXPECT_EQ(reply.accepted, c.result) << c.what;
    if (c.result) {
      EXPECT_EQ(reply.data, c.data) << c.what;
    }
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

TEST_F(Transact, ExpectingNothingReturnsAfterThePauseAndLeavesTheAnswer) {
  port.Answer({Ack(0x31)});
  EXPECT_TRUE(link.XcpTransact({0x78, 0x00}, 0));
  EXPECT_EQ(clock.SleptMs(), 500);
  EXPECT_EQ(port.BytesWaiting(), 6);
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

// After its answer the line brings a byte every 0.55 s for ten minutes: every
// 600 ms window sees a byte. The answer at the front of a read that the
// budget ended is not taken: 0.5 s after the write, 600 ms windows up to the
// budget of the write's whole second plus 15 s, then the repeated write and
// its pause.
TEST_F(Transact, ALineThatNeverFallsQuietFailsAsForNoAnswer) {
  bool babbling = false;
  port.onWrite = [&](const Bytes&) {
    if (std::exchange(babbling, true)) return;
    port.Deliver(Block(1, {7}));
    for (int k = 1; k <= 1100; ++k) port.Deliver({0x55}, 20 + 550 * k);
  };
  const double start = clock.Now();
  EXPECT_FALSE(link.XcpTransact({0xA0}, 1));
  EXPECT_GT(clock.Now() - start, 15.0);
  EXPECT_LT(clock.Now() - start, 16.7);
  EXPECT_EQ(port.writes.size(), 2u);
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
  EXPECT_EQ(XcpProbe::ReadPort(link), Join({Bytes(10, 0x11), Bytes(5, 0x22)}));
}

// Responses ending by byte 1023 of the receive buffer are taken: the largest
// identification block (980 data bytes in 7 frames, 1015 bytes), 984 data
// bytes in 8 frames (the last checksum is byte 1023). One byte more and the
// checksum would be read at byte 1024: error 9 at every attempt.
TEST_F(Read, ResponsesEndingByByte1023AreTakenOneByteLongerIsError9AtEveryAttempt) {
  const auto frames = [](std::uint8_t block, const Bytes& data) {
    Bytes raw;
    for (std::size_t at = 0; at < data.size(); at += 140) {
      const auto sequence = static_cast<std::uint8_t>(at / 140 + 1 + (at + 140 >= data.size() ? 0x80 : 0));
      raw = Join({raw, BuildResponseFrame(
                           block, sequence,
                           Bytes(data.begin() + at, data.begin() + std::min(at + 140, data.size())))});
    }
    return raw;
  };
  Bytes id = IdBlock({{0x01, 0x03}, {0x01, 0x03}}, 0x05, MeterMap36(0xF0), 1, 16);
  id.resize(980, 0xEE);
  const Bytes fits(984, 0x5A);
  ups.answers[0xA0] = {frames(1, id)};
  ups.answers[0x34] = {frames(4, fits), frames(4, Join({fits, {0x5A}}))};
  ASSERT_EQ(ups.answers[0xA0][0].size() + ups.answers[0x34][0].size(), 1015u + 1024u);
  ups.Attach(port);
  xcp.ReadIdentification();
  EXPECT_THAT(xcp.MeterNumbers(), ElementsAre(3, 10, 36));
  const Reply reply = link.XcpTransact({0x34}, 4);
  EXPECT_TRUE(reply.accepted);
  EXPECT_EQ(reply.data, fits);
  EXPECT_TRUE(host.board.empty());

  port.writes.clear();
  EXPECT_FALSE(link.XcpTransact({0x34}, 4));
  EXPECT_EQ(port.writes.size(), 6u);
  EXPECT_EQ(host.board, std::vector<std::string>(5, "9 Subscript out of range 35"));
}

TEST_F(XcpTest, AcknowledgementStatusesAndTheirLines) {
  Bytes wrongChecksum = Ack(0x35);
  wrongChecksum.back() ^= 0xFF;
  const struct {
    Bytes answer;
    bool result;
    const char* line;
  } cases[] = {
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
    EXPECT_EQ(host.board, c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{});
    EXPECT_EQ(host.failures, host.board);  // every refusal is drawn as a failure
  }
  // Input on a port that went away fails inside the read.
  host.ClearBoard();
  port.Deliver(Ack(0x31), 0);
  port.readError = kErrReadDevice;
  EXPECT_FALSE(xcp.CheckAck(9));
  EXPECT_THAT(host.board, ElementsAre("8020 Error reading comm device 4", "NO ACK"));
}

class Port : public XcpTest {};

// The label after start-up is the window's (ui_test) and StartUpBox's.
TEST_F(Port, StartUpAsksForTheLineAndKeepsItWhenNoneIsGiven) {
  // RTS and DTR raised, no flow control, the buffers of 1024 and 512 bytes.
  ASSERT_EQ(port.opens.size(), 1u);
  const PortRequest& request = port.opens[0];
  EXPECT_EQ(std::tie(request.commPort, request.settings, request.rtsEnable, request.dtrEnable,
                     request.handshaking, request.inBufferSize, request.outBufferSize),
            std::make_tuple(1, LineSettings{19200, 'N', 8, 2}, true, true, 0L, 1024, 512));
  // Settings not given keep the stored ones.
  xcp.ConfigurePort({});
  EXPECT_EQ(FormatLineSettings(xcp.StoredPortSettings().Line()), "19200,N,8,1");
  EXPECT_EQ(xcp.StoredPortSettings().comPort, 1);
  EXPECT_TRUE(port.IsOpen());
}

TEST_F(Port, FailuresAndTheirLines) {
  const struct {
    const char* what;
    double comNumber;
    int baud;
    int openError;
    const char* line;
    int pending;
  } cases[] = {
      {"no such port", 3, 19200, 0, "Invalid port number", 8002},
      {"refused baud", 1, 12345, 0, "Invalid Baud Rate", 380},
      {"no baud rate", 1, 0, 0, "Invalid Baud Rate", 380},
      {"busy device", 1, 19200, 8012, "Unable to open port", 8012},
      {"line settings", 1, 19200, 8015, "Invalid communications parameters", 8015},
      {"already open", 1, 19200, 8005, "Port already open", 8005},
      {"other error", 1, 19200, 8020, "8020 Error reading comm device", 0},
      {"port beyond an Integer", 32767.5, 19200, 0, "6 Overflow", 0},
  };
  for (const auto& c : cases) {
    host.ClearBoard();
    ASSERT_FALSE(xcp.ConfigurePort({19200, 0, 0, 0, 1}));  // back to a good port
    link.SetLinkUp(true);
    xcp.OpenPort();
    ASSERT_TRUE(host.portState.linkUp);
    port.openError = c.openError;
    const PortOutcome outcome = xcp.ChangePort(c.baud, c.comNumber);
    EXPECT_THAT(host.board, ElementsAre(c.line)) << c.what;
    EXPECT_EQ(host.failures, host.board) << c.what;
    // The caller sees what it may act on; any other error is done with.
    EXPECT_EQ(outcome ? outcome->number : 0, c.pending) << c.what;
    if (outcome) {
      EXPECT_EQ(outcome->description, ErrorDescription(c.pending)) << c.what;
    }
    EXPECT_EQ(std::tuple(port.IsOpen(), host.portState.open, host.portState.linkUp, xcp.LinkUp()),
              std::tuple(false, false, false, false))
        << c.what;
  }
}

TEST_F(Port, FlushEmptiesTheReceiveSideAndEndsOnALineThatNeverDrains) {
  port.Deliver(Bytes(50, 1), 0);
  xcp.FlushPort();
  EXPECT_EQ(port.BytesWaiting(), 0);
  port.Close();
  xcp.FlushPort();
  EXPECT_EQ(clock.SleptMs(), 0);

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
