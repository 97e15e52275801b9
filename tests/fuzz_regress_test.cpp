// Inputs from the fuzz targets of fuzz/ kept as plain tests: the edge of the
// 1024-byte receive buffer (a short meter block is the "short block" row of
// Runtime.WhatGivesNoTime; the settings strings are LineSettingsTest's).
#include <gmock/gmock.h>

#include <algorithm>

#include "support/xcp_fixture.h"

namespace kbx::test {
namespace {

using ::testing::ElementsAre;

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
  EXPECT_EQ(link.XcpTransact({0xA0}, 1).data, id);
  xcp.ReadIdentification();
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

}  // namespace
}  // namespace kbx::test
