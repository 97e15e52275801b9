// Inputs from the fuzz targets of fuzz/ kept as plain tests: the edges of the
// 1024-byte receive buffer, the shortest answers, the largest identification
// block, and the settings strings.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/qt_serial_control.h"
#include "support/xcp_fixture.h"
#include "ups/runtime.h"

namespace kbx::test {
namespace {

using ::testing::ElementsAre;

// Seven full frames of 140 data bytes and a last one of `last` bytes.
Bytes EightFrames(std::size_t last) {
  Bytes raw;
  for (std::uint8_t n = 1; n <= 7; ++n) {
    const Bytes frame = BuildResponseFrame(4, n, Bytes(140, n));
    raw.insert(raw.end(), frame.begin(), frame.end());
  }
  const Bytes frame = BuildResponseFrame(4, 0x88, Bytes(last, 8));
  raw.insert(raw.end(), frame.begin(), frame.end());
  return raw;
}

class FuzzRegress : public XcpTest {};

TEST_F(FuzzRegress, AResponseWhoseChecksumIsByte1023IsAccepted) {
  const Bytes raw = EightFrames(4);
  ASSERT_EQ(raw.size(), 1024u);
  port.SetOpenDirect(true);
  port.Deliver(raw, 0);
  EXPECT_EQ(xcp.GetResponse(), 4);
  EXPECT_EQ(xcp.ResponseBlock.size(), 7u * 140 + 4);
  EXPECT_EQ(xcp.ResponseBlock.back(), 8);
  EXPECT_TRUE(host.board.empty());
}

TEST_F(FuzzRegress, AResponseOneByteLongerIsReportedAtEveryAttempt) {
  // Its checksum would be byte 1024: the port keeps 1024 bytes, and reading
  // past them is error 9, reported by GetResponse and asked again.
  const Bytes raw = EightFrames(5);
  ups.answers[0x34] = {raw};
  ups.Attach(port);
  EXPECT_FALSE(xcp.XcpTransact(1, {0x34}, 4));
  EXPECT_EQ(port.writes.size(), 6u);
  EXPECT_EQ(host.board, std::vector<std::string>(5, "9 Subscript out of range 35"));
  EXPECT_FALSE(xcp.ErrorPending());
}

// Found by fuzz_frames: a complete, valid answer followed by one stray start
// byte. The exchange's rules take the response at byte 0 and look at nothing
// after its last frame, so this is the answer 10 20 30 of block 4. Since the
// program takes the last of consecutive responses, the stray byte reads as a
// broken later response and the whole answer counts as none (reply code 0).
// Disabled until that choice is settled; enable it with the fix.
TEST_F(FuzzRegress, AnAnswerFollowedByAStrayStartByteIsStillTheAnswer) {
  const Bytes raw =
      Join({BuildResponseFrame(4, 0x01, {0x10, 0x20}), BuildResponseFrame(4, 0x82, {0x30}), {0xAB}});
  port.SetOpenDirect(true);
  port.Deliver(raw, 0);
  EXPECT_EQ(xcp.GetResponse(), 4);
  EXPECT_EQ(xcp.ResponseBlock, (Bytes{0x10, 0x20, 0x30}));
  EXPECT_TRUE(host.board.empty());
}

TEST_F(FuzzRegress, AnAcknowledgementCutAfterItsBlockNumberIsAnUnknownStatus) {
  port.SetOpenDirect(true);
  port.Deliver({0xAB, 0x09}, 0);
  EXPECT_FALSE(xcp.CheckAck(9));
  EXPECT_THAT(host.board, ElementsAre("Unknown ACK 0"));
  EXPECT_FALSE(xcp.ErrorPending());
}

TEST_F(FuzzRegress, TheLargestIdentificationBlockComesInSevenFrames) {
  // 980 data bytes, the most that 1024 bytes of frames carry.
  Bytes block = IdBlock({{0x01, 0x03}, {0x01, 0x03}}, 0x05, MeterMap36(0xF0), 1, 16);
  block.resize(980, 0xEE);
  Bytes raw;
  for (std::size_t at = 0, n = 1; at < block.size(); at += 140, ++n) {
    const std::size_t end = std::min(at + 140, block.size());
    const bool last = end == block.size();
    const Bytes frame = BuildResponseFrame(
        1, static_cast<std::uint8_t>(n | (last ? 0x80 : 0)),
        Bytes(block.begin() + static_cast<long>(at), block.begin() + static_cast<long>(end)));
    raw.insert(raw.end(), frame.begin(), frame.end());
  }
  ASSERT_EQ(raw.size(), 1015u);
  ups.answers[0xA0] = {raw};
  ups.Attach(port);
  xcp.ReadIdentification();
  EXPECT_TRUE(host.board.empty());
  EXPECT_EQ(xcp.ResponseBlock, block);
  EXPECT_FLOAT_EQ(xcp.CpuVersion2, 1.03f);
  EXPECT_THAT(xcp.MeterNumber, ElementsAre(3, 10, 36));
  EXPECT_EQ(xcp.TypeBlockLength, 16);
}

TEST_F(FuzzRegress, AMeterBlockThatEndsInsideTheMetersBytesIsALineWithTag10) {
  Connected(290);
  // Meter 36 is the third reported meter: bytes 8 to 11; only 8 to 10 come.
  ups.answers[0x34] = {Block(4, Bytes(11, 0x01))};
  EXPECT_EQ(xcp.GetBatteryTimeRemaining(kBatteryTimeMeter), 0);
  EXPECT_THAT(host.board, ElementsAre("9 Subscript out of range 10"));
  EXPECT_FALSE(xcp.ErrorPending());
}

TEST(FuzzRegressSettings, WhatIsAcceptedReadsBackTheSameAndARefusalChangesNothing) {
  using Line = QtSerialControl::LineSettings;
  for (const char* text : {"19200,N,8,1", "9600,e,7,1.5", "115200,O,8,2", "256000,m,5,1", "110,S,6,2"}) {
    Line line{1, '?', 0, 0};
    ASSERT_TRUE(QtSerialControl::ParseSettings(text, line)) << text;
    Line again{1, '?', 0, 0};
    ASSERT_TRUE(QtSerialControl::ParseSettings(QtSerialControl::FormatSettings(line), again)) << text;
    EXPECT_EQ(QtSerialControl::FormatSettings(again), QtSerialControl::FormatSettings(line)) << text;
  }
  for (const char* text : {"", ",,,", "19200,N,8,1,", "19200,X,8,1", "19200,N,9,1", "19200,N,8,3",
                           "19201,N,8,1", "1234567890,N,8,1", "19200,NN,8,1", " 19200,N,8,1"}) {
    Line line{1, '?', 0, 0};
    EXPECT_FALSE(QtSerialControl::ParseSettings(text, line)) << text;
    EXPECT_EQ(line.baud, 1) << text;
    EXPECT_EQ(line.parity, '?') << text;
  }
}

}  // namespace
}  // namespace kbx::test
