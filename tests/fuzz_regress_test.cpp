// Inputs from the fuzz targets of fuzz/ kept as plain tests: the edge of the
// 1024-byte receive buffer, a short meter block, and the settings strings.
#include <gmock/gmock.h>

#include <algorithm>

#include "platform/qt_serial_control.h"
#include "support/xcp_fixture.h"
#include "ups/runtime.h"

namespace kbx::test {
namespace {

using ::testing::ElementsAre;
using ::testing::Not;
using ::testing::StartsWith;

// `data` as a response of `block` in frames of 140 data bytes.
Bytes Frames(std::uint8_t block, const Bytes& data) {
  Bytes raw;
  for (std::size_t at = 0; at < data.size(); at += 140) {
    const auto sequence = static_cast<std::uint8_t>(at / 140 + 1 + (at + 140 >= data.size() ? 0x80 : 0));
    const Bytes part(data.begin() + at, data.begin() + std::min(at + 140, data.size()));
    raw = Join({raw, BuildResponseFrame(block, sequence, part)});
  }
  return raw;
}

class FuzzRegress : public XcpTest {};

TEST_F(FuzzRegress, ResponsesEndingByByte1023AreTakenOneByteLongerIsError9AtEveryAttempt) {
  // The largest identification block: 980 data bytes in 7 frames, 1015 bytes.
  Bytes id = IdBlock({{0x01, 0x03}, {0x01, 0x03}}, 0x05, MeterMap36(0xF0), 1, 16);
  id.resize(980, 0xEE);
  ups.answers[0xA0] = {Frames(1, id)};
  // 984 data bytes in 8 frames: the last checksum is byte 1023. Then one more.
  const Bytes fits(984, 0x5A);
  ups.answers[0x34] = {Frames(4, fits), Frames(4, Join({fits, {0x5A}}))};
  ASSERT_EQ(ups.answers[0xA0][0].size() + ups.answers[0x34][0].size(), 1015u + 1024u);
  ups.Attach(port);
  xcp.ReadIdentification();
  EXPECT_EQ(XcpProbe::Response(link), id);
  EXPECT_THAT(xcp.MeterNumbers(), ElementsAre(3, 10, 36));
  const Reply reply = link.XcpTransact({0x34}, 4);
  EXPECT_TRUE(reply.accepted);
  EXPECT_EQ(reply.data, fits);
  EXPECT_TRUE(host.board.empty());

  // Reading the checksum at byte 1024 is error 9, reported by GetResponse, and
  // the request is asked again.
  port.writes.clear();
  EXPECT_FALSE(link.XcpTransact({0x34}, 4));
  EXPECT_EQ(port.writes.size(), 6u);
  EXPECT_EQ(host.board, std::vector<std::string>(5, "9 Subscript out of range 35"));
}

TEST_F(FuzzRegress, AMeterBlockThatEndsInsideTheMetersBytesIsALineWithTag10) {
  Connected(290);
  // Meter 36 is the third reported meter: bytes 8 to 11; only 8 to 10 come.
  ups.answers[0x34] = {Block(4, Bytes(11, 0x01))};
  EXPECT_EQ(xcp.GetBatteryTimeRemaining(36), 0);
  EXPECT_THAT(host.board, ElementsAre("9 Subscript out of range 10"));
}

TEST(FuzzRegressSettings, WhatIsAcceptedReadsBackTheSameAndARefusalChangesNothing) {
  // The normal form of `text`, after "refused: " the settings a refusal left.
  const auto normal = [](const std::string& text) {
    QtSerialControl::LineSettings line{1, '?', 0, 0};
    const bool ok = QtSerialControl::ParseSettings(text, line);
    return (ok ? "" : "refused: ") + QtSerialControl::FormatSettings(line);
  };
  for (const char* text : {"19200,N,8,1", "9600,e,7,1.5", "115200,O,8,2", "256000,m,5,1", "110,S,6,2"}) {
    EXPECT_THAT(normal(text), Not(StartsWith("refused"))) << text;
    EXPECT_EQ(normal(normal(text)), normal(text)) << text;
  }
  for (const char* text : {"", ",,,", "19200,N,8,1,", "19200,X,8,1", "19200,N,9,1", "19200,N,8,3",
                           "19201,N,8,1", "1234567890,N,8,1", "19200,NN,8,1", " 19200,N,8,1"})
    EXPECT_EQ(normal(text), "refused: 1,?,0,1") << text;
}

}  // namespace
}  // namespace kbx::test
