#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "link/frame.h"
#include "sim/pty_simulator.h"
#include "sim/ups_model.h"

namespace kbx {
namespace {

// ---- helpers that read answers the way the program does ----

struct Frame {
  std::uint8_t block = 0;
  std::uint8_t sequence = 0;
  Bytes data;
  bool checksum_ok = false;
};

// Splits raw answer bytes into response frames; fails the test on anything
// that is not a sequence of well-formed frames.
std::vector<Frame> SplitFrames(const Bytes& raw) {
  std::vector<Frame> frames;
  std::size_t p = 0;
  while (p < raw.size()) {
    EXPECT_EQ(raw[p], 0xAB) << "no start byte at " << p;
    EXPECT_LE(p + 4, raw.size());
    if (raw[p] != 0xAB || p + 4 > raw.size()) return frames;
    const std::size_t len = raw[p + 2];
    EXPECT_GE(len, 1u);
    EXPECT_LE(len, 140u);
    EXPECT_LE(p + 5 + len, raw.size());
    if (p + 5 + len > raw.size()) return frames;
    Frame frame;
    frame.block = raw[p + 1];
    frame.sequence = raw[p + 3];
    frame.data.assign(raw.begin() + static_cast<std::ptrdiff_t>(p + 4),
                      raw.begin() + static_cast<std::ptrdiff_t>(p + 4 + len));
    frame.checksum_ok = FrameChecksum(raw.data() + p, len + 5) == 0;
    frames.push_back(frame);
    p += len + 5;
  }
  return frames;
}

// One complete, valid response: its first block number and the joined data.
struct Response {
  std::uint8_t block = 0;
  Bytes data;
};

Response Join(const Bytes& raw) {
  const std::vector<Frame> frames = SplitFrames(raw);
  Response response;
  EXPECT_FALSE(frames.empty());
  if (frames.empty()) return response;
  response.block = frames[0].block;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_TRUE(frames[i].checksum_ok) << "frame " << i;
    EXPECT_EQ(frames[i].sequence & 0x7F, i + 1) << "frame " << i;
    EXPECT_EQ((frames[i].sequence & 0x80) != 0, i + 1 == frames.size()) << "frame " << i;
    response.data.insert(response.data.end(), frames[i].data.begin(), frames[i].data.end());
  }
  return response;
}

// The acknowledgement status of a one-frame acknowledgement answer.
int AckStatus(const Bytes& raw) {
  const Response response = Join(raw);
  EXPECT_EQ(response.block, kAckBlock);
  EXPECT_EQ(response.data.size(), 1u);
  return response.data.empty() ? -1 : response.data[0];
}

Bytes Ask(UpsModel& model, const Bytes& request) {
  return model.Receive(BuildRequestFrame(request));
}
int AskAck(UpsModel& model, const Bytes& request) {
  return AckStatus(Ask(model, request));
}

// The fields of an identification block, taken apart field by field.
struct Identification {
  std::vector<std::pair<int, int>> versions;  // (major, minor)
  std::vector<int> meter_numbers;
  std::vector<int> meter_formats;
  int meter_map_length = 0;
  int flag_map_length = 0;
  int type_block_length = 0;
  int third_map_length = 0;
  std::size_t end = 0;
};

Identification ParseIdentification(const Bytes& b) {
  Identification id;
  std::size_t p = 0;
  auto next = [&]() -> int {
    if (p >= b.size()) throw std::out_of_range("identification block too short");
    return b[p++];
  };
  const int n = next();
  for (int c = 0; c < n; ++c) {
    const int minor = next();
    const int major = next();
    id.versions.emplace_back(major, minor);
  }
  if (next() == 0) p += 2;  // extension
  p += 2;
  p += static_cast<std::size_t>(next());
  id.meter_map_length = next();
  for (int j = 1; j <= id.meter_map_length; ++j) {
    const int format = next();
    if (format != 0) {
      id.meter_numbers.push_back(j);
      id.meter_formats.push_back(format);
    }
  }
  id.flag_map_length = next();
  p += static_cast<std::size_t>(id.flag_map_length);
  id.type_block_length = next();
  id.type_block_length += 256 * next();
  id.third_map_length = next();
  for (int k = 0; k < id.third_map_length; ++k) next();
  id.end = p;
  return id;
}

// A meter value as the program decodes it.
double DecodeMeter(const Bytes& block, std::size_t k, int format) {
  const std::uint32_t raw = static_cast<std::uint32_t>(block.at(4 * k)) |
                            static_cast<std::uint32_t>(block.at(4 * k + 1)) << 8 |
                            static_cast<std::uint32_t>(block.at(4 * k + 2)) << 16 |
                            static_cast<std::uint32_t>(block.at(4 * k + 3)) << 24;
  if (format >= 0xF0) return std::ldexp(static_cast<double>(raw), -(format - 0xF0));
  if (format <= 0x97) return static_cast<double>(std::bit_cast<float>(raw));
  if (format == 0xE2) return static_cast<double>(raw);
  return 0;
}

// The battery time meter read the way the program does: identify, find
// meter 36 in the meter map, request the meter block and decode.
double ReadBatteryTime(UpsModel& model) {
  const Identification id = ParseIdentification(Join(Ask(model, {0xA0})).data);
  const Response meters = Join(Ask(model, {0x34}));
  EXPECT_EQ(meters.block, 4);
  for (std::size_t k = 0; k < id.meter_numbers.size(); ++k)
    if (id.meter_numbers[k] == 36) return DecodeMeter(meters.data, k, id.meter_formats[k]);
  ADD_FAILURE() << "meter 36 not reported";
  return -1;
}

UpsModel Unlocked(SimOptions options = {}) {
  UpsModel model(std::move(options));
  EXPECT_EQ(AskAck(model, {0xCF, 0x4B, 0x42, 0x58}), 0x31);
  return model;
}

// ---- frames ----

TEST(SimFrames, AcceptedAuthorizationIsTheOneFrameAckExample) {
  UpsModel model;
  EXPECT_EQ(Ask(model, {0xCF, 0x4B, 0x42, 0x58}), (Bytes{0xAB, 0x09, 0x01, 0x81, 0x31, 0x99}));
}

TEST(SimFrames, DisconnectAndLinkStartAreNotAnswered) {
  UpsModel model = Unlocked();
  EXPECT_TRUE(model.Receive({0xAB, 0x01, 0xFF, 0x55}).empty());
  EXPECT_TRUE(Ask(model, {0xFF, 0x06, 0x08, 0x62}).empty());
  EXPECT_EQ(model.DisconnectCount(), 1);
  EXPECT_EQ(model.LinkStartCount(), 1);
  EXPECT_EQ(model.RequestCount(0xFF), 2);
}

TEST(SimFrames, UnknownCommandIsUnrecognized) {
  UpsModel model;
  EXPECT_EQ(AskAck(model, {0x42}), 0x34);
  EXPECT_EQ(AskAck(model, {0x00, 0x01}), 0x34);
}

TEST(SimFrames, GarbageAndBadChecksumsAreSkipped) {
  UpsModel model;
  Bytes line{0x00, 0x13, 0xAB, 0x01, 0xA0, 0xB5};  // noise, then a frame with a wrong checksum
  const Bytes good = BuildRequestFrame({0x36});
  line.insert(line.end(), good.begin(), good.end());
  const Response response = Join(model.Receive(line));
  EXPECT_EQ(response.block, 6);
  EXPECT_EQ(model.RequestCount(0xA0), 0);
  EXPECT_EQ(model.RequestCount(0x36), 1);
  EXPECT_EQ(model.BadFrameCount(), 1);
}

TEST(SimFrames, BytesMayArriveOneByOne) {
  UpsModel model;
  const Bytes frame = BuildRequestFrame({0xA0});
  Bytes answer;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    answer = model.Receive({frame[i]});
    if (i + 1 < frame.size()) {
      EXPECT_TRUE(answer.empty()) << "answered after byte " << i;
    }
  }
  EXPECT_EQ(Join(answer).block, 1);
}

TEST(SimFrames, SeveralRequestsInOneChunkAreAllAnswered) {
  UpsModel model;
  Bytes line = BuildRequestFrame({0x36});
  const Bytes second = BuildRequestFrame({0x42});
  line.insert(line.end(), second.begin(), second.end());
  const Bytes raw = model.Receive(line);
  const std::vector<Frame> frames = SplitFrames(raw);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].block, 6);
  EXPECT_EQ(frames[1].block, 9);
  EXPECT_EQ(frames[1].data, Bytes{0x34});
}

TEST(SimFrames, IdleLineDropsAStrayStartByteAndFindsTheFrameBehindIt) {
  UpsModel model;
  Bytes line{0xAB, 0xF0};  // claims 240 data bytes
  const Bytes good = BuildRequestFrame({0xA0});
  line.insert(line.end(), good.begin(), good.end());
  EXPECT_TRUE(model.Receive(line).empty());
  EXPECT_TRUE(model.HasPartialFrame());
  EXPECT_EQ(Join(model.LineIdle()).block, 1);
  EXPECT_FALSE(model.HasPartialFrame());
}

// ---- identification ----

TEST(SimIdentification, DefaultBlockBytes) {
  UpsModel model;
  // clang-format off
  const Bytes expected{
      0x02, 0x03, 0x01, 0x03, 0x01,                                // two processors, 1.03 and 1.03
      0x05, 0x00, 0x00,                                            // selector, two bytes
      0x03, 'S', 'I', 'M',                                         // length-prefixed field
      40,                                                          // meter map: 40 entries
      0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40,  // meters 1-10
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // meters 11-20
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // meters 21-30
      0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x00, 0xF0, 0x00, 0x00,  // meters 31-40
      0x04, 0x01, 0x00, 0x00, 0x01,                                // flag map
      0x10, 0x00,                                                  // type block length 16
      0x02, 0x00, 0x00,                                            // third map
  };
  // clang-format on
  const Response response = Join(Ask(model, {0xA0}));
  EXPECT_EQ(response.block, 1);
  EXPECT_EQ(response.data, expected);
}

TEST(SimIdentification, ParsesPerLayoutWithMeter36NotFirst) {
  UpsModel model;
  const Response response = Join(Ask(model, {0xA0}));
  const Identification id = ParseIdentification(response.data);
  EXPECT_EQ(id.end, response.data.size());
  EXPECT_EQ(id.versions, (std::vector<std::pair<int, int>>{{1, 3}, {1, 3}}));
  EXPECT_GE(id.meter_map_length, 36);
  EXPECT_EQ(id.meter_numbers, (std::vector<int>{3, 10, 36, 38}));
  EXPECT_EQ(id.meter_formats, (std::vector<int>{0x40, 0x40, 0xF0, 0xF0}));
  EXPECT_EQ(id.type_block_length, 16);
  EXPECT_EQ(id.flag_map_length, 4);
  EXPECT_EQ(id.third_map_length, 2);
  EXPECT_EQ(model.ReportedMeters(), id.meter_numbers);
}

TEST(SimIdentification, VersionsAndMeterFormatFollowTheOptions) {
  SimOptions options;
  options.versions = {{0x01, 0x03}, {0x01, 0x04}, {0x00, 0x00}, {0x01, 0x10}};
  options.meter36_format = 0xE2;
  options.type_block_length = 0x0123;
  UpsModel model(options);
  const Identification id = ParseIdentification(Join(Ask(model, {0xA0})).data);
  EXPECT_EQ(id.versions, (std::vector<std::pair<int, int>>{{1, 3}, {1, 4}, {0, 0}, {1, 0x10}}));
  EXPECT_EQ(id.meter_formats[2], 0xE2);
  EXPECT_EQ(id.type_block_length, 0x0123);
  EXPECT_EQ(Join(Ask(model, {0x36})).data.size(), 0x0123u);
}

TEST(SimIdentification, MeterFormatZeroLeavesMeter36Out) {
  SimOptions options;
  options.meter36_format = 0;
  UpsModel model(options);
  const Identification id = ParseIdentification(Join(Ask(model, {0xA0})).data);
  EXPECT_EQ(id.meter_numbers, (std::vector<int>{3, 10, 38}));
  EXPECT_EQ(Join(Ask(model, {0x34})).data.size(), 12u);
}

struct TypeRow {
  int type;
  Bytes first_two;
};

void PrintTo(const TypeRow& row, std::ostream* os) {
  *os << "type " << row.type;
}

class SimTypeBlock : public ::testing::TestWithParam<TypeRow> {};

TEST_P(SimTypeBlock, FirstTwoBytesAreTheTypeLowByteFirst) {
  SimOptions options;
  options.type = GetParam().type;
  UpsModel model(options);
  const Response response = Join(Ask(model, {0x36}));
  EXPECT_EQ(response.block, 6);
  ASSERT_EQ(response.data.size(), 16u);
  EXPECT_EQ(Bytes(response.data.begin(), response.data.begin() + 2), GetParam().first_two);
  EXPECT_EQ(model.ReportedType(), GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(Types, SimTypeBlock,
                         ::testing::Values(TypeRow{280, {0x18, 0x01}}, TypeRow{281, {0x19, 0x01}},
                                           TypeRow{290, {0x22, 0x01}}, TypeRow{292, {0x24, 0x01}},
                                           TypeRow{0, {0x00, 0x00}}, TypeRow{1, {0x01, 0x00}},
                                           TypeRow{285, {0x1D, 0x01}}, TypeRow{65535, {0xFF, 0xFF}}));

// ---- meters ----

struct MeterRow {
  double value;
  std::uint8_t format;
  Bytes bytes;
};

void PrintTo(const MeterRow& row, std::ostream* os) {
  *os << row.value << " as format " << int{row.format};
}

class SimMeterEncoding : public ::testing::TestWithParam<MeterRow> {};

TEST_P(SimMeterEncoding, EncodesPerFormatCode) {
  EXPECT_EQ(EncodeMeterValue(GetParam().value, GetParam().format), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Formats, SimMeterEncoding,
                         ::testing::Values(MeterRow{3600, 0xF0, {0x10, 0x0E, 0x00, 0x00}},
                                           MeterRow{900, 0xF2, {0x10, 0x0E, 0x00, 0x00}},
                                           MeterRow{261, 0xF0, {0x05, 0x01, 0x00, 0x00}},
                                           MeterRow{1.5, 0xFF, {0x00, 0xC0, 0x00, 0x00}},
                                           MeterRow{300, 0xE2, {0x2C, 0x01, 0x00, 0x00}},
                                           MeterRow{3600, 0x40, {0x00, 0x00, 0x61, 0x45}},
                                           MeterRow{3600, 0x01, {0x00, 0x00, 0x61, 0x45}},
                                           MeterRow{0.5, 0x97, {0x00, 0x00, 0x00, 0x3F}},
                                           MeterRow{1234.4, 0xF0, {0xD2, 0x04, 0x00, 0x00}}));

class SimMeterBlock : public ::testing::TestWithParam<std::uint8_t> {};

TEST_P(SimMeterBlock, BatteryTimeSitsWhereTheMeterMapSays) {
  SimOptions options;
  options.meter36_format = GetParam();
  options.battery_time = 3600;
  UpsModel model(options);
  const Response meters = Join(Ask(model, {0x34}));
  EXPECT_EQ(meters.block, 4);
  ASSERT_EQ(meters.data.size(), 16u);
  // Meter 36 is the third reported meter: bytes 8 to 11.
  EXPECT_EQ(Bytes(meters.data.begin() + 8, meters.data.begin() + 12), EncodeMeterValue(3600, GetParam()));
  EXPECT_DOUBLE_EQ(ReadBatteryTime(model), 3600);
}

INSTANTIATE_TEST_SUITE_P(Formats, SimMeterBlock, ::testing::Values(0xF0, 0xF1, 0xF4, 0xE2, 0x01, 0x40, 0x97));

TEST(SimMeterBlock, OtherMetersArePlausible) {
  UpsModel model;
  const Response meters = Join(Ask(model, {0x34}));
  EXPECT_DOUBLE_EQ(DecodeMeter(meters.data, 0, 0x40), 230.0);
  EXPECT_DOUBLE_EQ(DecodeMeter(meters.data, 1, 0x40), 50.0);
  EXPECT_DOUBLE_EQ(DecodeMeter(meters.data, 3, 0xF0), 100.0);
}

// ---- authorization ----

TEST(SimAuthorization, LocksAndUnlocksSetCommands) {
  UpsModel model;
  EXPECT_TRUE(model.Locked());
  EXPECT_EQ(AskAck(model, {0x78, 0x20, 0x05, 0x00}), 0x36);
  EXPECT_EQ(AskAck(model, {0xBD, 0x69, 0x02, 0x88, 0x20}), 0x36);
  EXPECT_EQ(AskAck(model, {0x95, 0x0F, 0x01, 0x00}), 0x36);
  EXPECT_EQ(AskAck(model, {0x78, 0x00}), 0x36);
  EXPECT_EQ(model.Variable(32), 1);  // untouched

  EXPECT_EQ(AskAck(model, {0xCF, 0x4B, 0x42, 0x59}), 0x36);
  EXPECT_TRUE(model.Locked());
  EXPECT_EQ(AskAck(model, {0xCF, 0x4B, 0x42}), 0x36);
  EXPECT_TRUE(model.Locked());

  EXPECT_EQ(AskAck(model, {0xCF, 0x4B, 0x42, 0x58}), 0x31);
  EXPECT_FALSE(model.Locked());
  EXPECT_EQ(AskAck(model, {0x78, 0x20, 0x05, 0x00}), 0x31);

  EXPECT_TRUE(Ask(model, {0xFF}).empty());  // disconnect locks again
  EXPECT_TRUE(model.Locked());
  EXPECT_EQ(AskAck(model, {0x78, 0x20, 0x03, 0x00}), 0x36);
  EXPECT_EQ(model.Variable(32), 5);
}

TEST(SimAuthorization, LinkStartDoesNotLock) {
  UpsModel model = Unlocked();
  EXPECT_TRUE(Ask(model, {0xFF, 0x06, 0x08, 0x62}).empty());
  EXPECT_FALSE(model.Locked());
}

TEST(SimAuthorization, AccessCodeIsConfigurable) {
  SimOptions options;
  options.access_code = {0x12, 0x34, 0x56};
  UpsModel model(options);
  EXPECT_EQ(AskAck(model, {0xCF, 0x4B, 0x42, 0x58}), 0x36);
  EXPECT_EQ(AskAck(model, {0xCF, 0x12, 0x34, 0x56}), 0x31);
  EXPECT_FALSE(model.Locked());
}

// ---- module configuration ----

TEST(SimModules, Type290CommitsOnlyWithTheChecksumReset) {
  UpsModel model = Unlocked();
  EXPECT_DOUBLE_EQ(ReadBatteryTime(model), 1800);
  EXPECT_EQ(AskAck(model, {0x78, 0x20, 0x05, 0x00}), 0x31);
  EXPECT_EQ(AskAck(model, {0x78, 0x38, 0x88, 0x20}), 0x31);
  EXPECT_EQ(AskAck(model, {0xBD, 0x69, 0x02, 0x88, 0x20}), 0x31);
  EXPECT_EQ(model.CommittedModuleCount(), 0);
  EXPECT_TRUE(model.HasUncommittedChanges());
  EXPECT_DOUBLE_EQ(ReadBatteryTime(model), 1800);

  EXPECT_EQ(AskAck(model, {0x78, 0x00}), 0x31);
  EXPECT_EQ(model.CommittedModuleCount(), 2);
  EXPECT_FALSE(model.HasUncommittedChanges());
  EXPECT_EQ(model.Variable(32), 5);
  EXPECT_EQ(model.Variable(56), 8328);
  EXPECT_EQ(model.RamWord(0x0269), 8328);
  EXPECT_DOUBLE_EQ(ReadBatteryTime(model), std::round(1800.0 * 8328 / 994));
  EXPECT_DOUBLE_EQ(model.BatteryTime(), 1800.0 * 8328 / 994);
}

struct CountRow {
  int count;
  double battery_time;
};

void PrintTo(const CountRow& row, std::ostream* os) {
  *os << row.count << " modules";
}

class SimModuleCount : public ::testing::TestWithParam<CountRow> {};

TEST_P(SimModuleCount, Type290CountChangesTheRuntime) {
  SimOptions options;
  options.module_count = 1;
  options.battery_time = 994;
  UpsModel model = Unlocked(options);
  const auto value = static_cast<std::uint8_t>(2 * GetParam().count + 1);
  EXPECT_EQ(AskAck(model, {0x78, 0x20, value, 0x00}), 0x31);
  EXPECT_EQ(AskAck(model, {0x78, 0x00}), 0x31);
  EXPECT_EQ(model.CommittedModuleCount(), GetParam().count);
  EXPECT_DOUBLE_EQ(ReadBatteryTime(model), GetParam().battery_time);
}

TEST_P(SimModuleCount, Type280ParameterChangesTheRuntimeAtOnce) {
  for (const int type : {280, 292}) {
    SimOptions options;
    options.type = type;
    options.module_count = 1;
    options.battery_time = 994;
    UpsModel model = Unlocked(options);
    EXPECT_EQ(AskAck(model, {0x95, 0x0F, static_cast<std::uint8_t>(GetParam().count), 0x00}), 0x31);
    EXPECT_EQ(model.CommittedModuleCount(), GetParam().count) << type;
    EXPECT_EQ(model.Parameter(0x0F), GetParam().count) << type;
    EXPECT_DOUBLE_EQ(ReadBatteryTime(model), GetParam().battery_time) << type;
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, SimModuleCount,
                         ::testing::Values(CountRow{0, 994}, CountRow{1, 4491}, CountRow{2, 8328}));

TEST(SimModules, Type280ParameterNeedsTheAuthorization) {
  SimOptions options;
  options.type = 280;
  UpsModel model(options);
  EXPECT_EQ(AskAck(model, {0x95, 0x0F, 0x01, 0x00}), 0x36);
  EXPECT_EQ(model.CommittedModuleCount(), 0);
  EXPECT_EQ(AskAck(model, {0xCF, 0x4B, 0x42, 0x58}), 0x31);
  EXPECT_EQ(AskAck(model, {0x95, 0x0F, 0x01, 0x00}), 0x31);
  EXPECT_EQ(model.CommittedModuleCount(), 1);
}

TEST(SimModules, CountsOutsideZeroToTwoAreOutOfRange) {
  UpsModel model290 = Unlocked();
  EXPECT_EQ(AskAck(model290, {0x78, 0x20, 0x02, 0x00}), 0x35);  // the count itself, not 2n+1
  EXPECT_EQ(AskAck(model290, {0x78, 0x20, 0x07, 0x00}), 0x35);
  EXPECT_EQ(model290.Variable(32), 1);

  SimOptions options;
  options.type = 292;
  UpsModel model292 = Unlocked(options);
  EXPECT_EQ(AskAck(model292, {0x95, 0x0F, 0x03, 0x00}), 0x35);
  EXPECT_EQ(model292.CommittedModuleCount(), 0);
}

TEST(SimModules, EachTypeIgnoresTheOtherTypesPath) {
  UpsModel model290 = Unlocked();
  EXPECT_EQ(AskAck(model290, {0x95, 0x0F, 0x02, 0x00}), 0x31);
  EXPECT_EQ(model290.CommittedModuleCount(), 0);

  SimOptions options;
  options.type = 280;
  UpsModel model280 = Unlocked(options);
  EXPECT_EQ(AskAck(model280, {0x78, 0x20, 0x05, 0x00}), 0x31);
  EXPECT_EQ(AskAck(model280, {0x78, 0x00}), 0x31);
  EXPECT_EQ(model280.CommittedModuleCount(), 0);
}

TEST(SimModules, MalformedSetCommandsAreInvalid) {
  UpsModel model = Unlocked();
  EXPECT_EQ(AskAck(model, {0x78, 0x20, 0x05}), 0x36);
  EXPECT_EQ(AskAck(model, {0x78, 0x00, 0x01, 0x00}), 0x36);
  EXPECT_EQ(AskAck(model, {0xBD, 0x69, 0x02, 0x88}), 0x36);
  EXPECT_EQ(AskAck(model, {0x95, 0x0F, 0x01}), 0x36);
  EXPECT_EQ(model.Variable(32), 1);
  EXPECT_FALSE(model.HasUncommittedChanges());
}

// ---- type 281 ----

TEST(SimSwitch, Type281IsSilentOnTheSwitchRequestAndThenReports280) {
  for (const Bytes& request : {Bytes{0xCE, 0x00, 0x00}, Bytes{0xCE, 0x01, 0x00, 0x00}}) {
    SimOptions options;
    options.type = 281;
    UpsModel model(options);
    EXPECT_EQ(Join(Ask(model, {0x36})).data[0], 0x19);
    EXPECT_TRUE(Ask(model, request).empty());
    EXPECT_TRUE(model.Switched());
    EXPECT_EQ(model.ReportedType(), 280);
    const Bytes type = Join(Ask(model, {0x36})).data;
    EXPECT_EQ(type[0], 0x18);
    EXPECT_EQ(type[1], 0x01);
    EXPECT_EQ(AskAck(model, request), 0x31);  // now a 280
  }
}

TEST(SimSwitch, OtherTypesAcknowledgeTheSwitchRequest) {
  for (const int type : {280, 290, 292, 285}) {
    SimOptions options;
    options.type = type;
    UpsModel model(options);
    EXPECT_EQ(AskAck(model, {0xCE, 0x00, 0x00}), 0x31) << type;
    EXPECT_EQ(model.ReportedType(), type);
  }
}

// ---- faults ----

TEST(SimFaults, SilentNeverAnswers) {
  SimOptions options;
  options.silent = true;
  UpsModel model(options);
  for (const Bytes& request :
       {Bytes{0xA0}, Bytes{0x36}, Bytes{0x34}, Bytes{0xCF, 0x4B, 0x42, 0x58}, Bytes{0x42}})
    EXPECT_TRUE(Ask(model, request).empty());
  EXPECT_EQ(model.RequestCount(0xA0), 1);
  EXPECT_TRUE(model.Locked());
}

TEST(SimFaults, BusyAnswersTheFirstNAnsweredRequestsWith33) {
  SimOptions options;
  options.busy = 3;
  UpsModel model(options);
  EXPECT_TRUE(Ask(model, {0xFF}).empty());  // not answered: does not count
  EXPECT_TRUE(Ask(model, {0xFF, 0x06, 0x08, 0x62}).empty());
  EXPECT_EQ(AskAck(model, {0xCF, 0x4B, 0x42, 0x58}), 0x33);
  EXPECT_TRUE(model.Locked());  // a busy unit does not carry the request out
  EXPECT_EQ(AskAck(model, {0xA0}), 0x33);
  EXPECT_EQ(AskAck(model, {0xA0}), 0x33);
  EXPECT_EQ(Join(Ask(model, {0xA0})).block, 1);
  EXPECT_EQ(AskAck(model, {0xCF, 0x4B, 0x42, 0x58}), 0x31);
  EXPECT_EQ(model.RequestCount(0xA0), 3);
}

class SimSplit : public ::testing::TestWithParam<int> {};

TEST_P(SimSplit, AnswersComeInNumberedFramesWithChecksums) {
  SimOptions options;
  options.split = GetParam();
  UpsModel model(options);
  const Bytes block = model.IdentificationBlock();
  const Bytes raw = Ask(model, {0xA0});
  const std::vector<Frame> frames = SplitFrames(raw);
  const std::size_t split = static_cast<std::size_t>(GetParam());
  ASSERT_EQ(frames.size(), (block.size() + split - 1) / split);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].block, 1);
    EXPECT_LE(frames[i].data.size(), split);
  }
  const Response response = Join(raw);  // numbering 1, 2, ..., last with 0x80, checksums
  EXPECT_EQ(response.data, block);
  EXPECT_EQ(AckStatus(Ask(model, {0x42})), 0x34);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SimSplit, ::testing::Values(1, 2, 7, 16, 63, 64, 140, 255));

TEST(SimFaults, SplitMeterBlockOfTwoFrames) {
  SimOptions options;
  options.split = 8;
  options.battery_time = 3600;
  UpsModel model(options);
  const std::vector<Frame> frames = SplitFrames(Ask(model, {0x34}));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].sequence, 0x01);
  EXPECT_EQ(frames[1].sequence, 0x82);
  EXPECT_EQ(Bytes(frames[1].data.begin(), frames[1].data.begin() + 4), (Bytes{0x10, 0x0E, 0x00, 0x00}));
}

TEST(SimFaults, BadChecksumOnEveryAnswer) {
  SimOptions options;
  options.bad_checksum = SimOptions::kEveryAnswer;
  options.split = 20;
  UpsModel model(options);
  UpsModel clean;
  for (int round = 0; round < 3; ++round) {
    const std::vector<Frame> frames = SplitFrames(Ask(model, {0xA0}));
    ASSERT_EQ(frames.size(), 4u);
    for (const Frame& frame : frames) EXPECT_FALSE(frame.checksum_ok);
    const std::vector<Frame> ack = SplitFrames(Ask(model, {0x42}));
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_FALSE(ack[0].checksum_ok);
    EXPECT_EQ(ack[0].data, Bytes{0x34});  // only the checksum is wrong
  }
}

TEST(SimFaults, BadChecksumOnTheFirstNAnswers) {
  SimOptions options;
  options.bad_checksum = 2;
  UpsModel model(options);
  EXPECT_FALSE(SplitFrames(Ask(model, {0x36}))[0].checksum_ok);
  EXPECT_TRUE(Ask(model, {0xFF}).empty());  // unanswered requests do not count
  EXPECT_FALSE(SplitFrames(Ask(model, {0x36}))[0].checksum_ok);
  EXPECT_TRUE(SplitFrames(Ask(model, {0x36}))[0].checksum_ok);
  EXPECT_TRUE(SplitFrames(Ask(model, {0x34}))[0].checksum_ok);
}

TEST(SimFaults, RefusalStatusReplacesTheAnswerAndTheCommandIsNotCarriedOut) {
  SimOptions options;
  options.type = 280;
  options.refuse = {{0x95, 0x35}, {0x34, 0x32}};
  UpsModel model = Unlocked(options);
  EXPECT_EQ(AskAck(model, {0x95, 0x0F, 0x02, 0x00}), 0x35);
  EXPECT_EQ(model.CommittedModuleCount(), 0);
  EXPECT_EQ(AskAck(model, {0x34}), 0x32);
  EXPECT_EQ(Join(Ask(model, {0xA0})).block, 1);
}

TEST(SimFaults, RefusedAuthorizationLeavesTheUnitLocked) {
  SimOptions options;
  options.refuse = {{0xCF, 0x33}};
  UpsModel model(options);
  EXPECT_EQ(AskAck(model, {0xCF, 0x4B, 0x42, 0x58}), 0x33);
  EXPECT_TRUE(model.Locked());
}

TEST(SimFaults, Type281WithARefusedSwitchAnswersAndStays281) {
  SimOptions options;
  options.type = 281;
  options.refuse = {{0xCE, 0x31}};
  UpsModel model(options);
  EXPECT_EQ(AskAck(model, {0xCE, 0x00, 0x00}), 0x31);
  EXPECT_EQ(model.ReportedType(), 281);
}

TEST(SimModel, RecordsEveryRequest) {
  UpsModel model;
  Ask(model, {0xCF, 0x4B, 0x42, 0x58});
  Ask(model, {0xA0});
  Ask(model, {0x36});
  Ask(model, {0xA0});
  Ask(model, {0xFF});
  EXPECT_EQ(model.RequestCount(0xA0), 2);
  EXPECT_EQ(model.RequestCount(0x36), 1);
  EXPECT_EQ(model.RequestCount(0xCF), 1);
  EXPECT_EQ(model.RequestCount(0x34), 0);
  EXPECT_EQ(model.Requests(), (std::vector<Bytes>{{0xCF, 0x4B, 0x42, 0x58}, {0xA0}, {0x36}, {0xA0}, {0xFF}}));
}

TEST(SimModel, RejectsUnusableOptions) {
  const auto with = [](auto change) {
    SimOptions options;
    change(options);
    return options;
  };
  EXPECT_THROW(UpsModel(with([](SimOptions& o) { o.type = 65536; })), std::invalid_argument);
  EXPECT_THROW(UpsModel(with([](SimOptions& o) { o.module_count = 3; })), std::invalid_argument);
  EXPECT_THROW(UpsModel(with([](SimOptions& o) { o.split = 0; })), std::invalid_argument);
  EXPECT_NO_THROW(UpsModel(with([](SimOptions& o) { o.type = 65535; })));
}

// ---- the simulator on a pseudo-terminal ----

Bytes ReadAnswer(int fd, int timeout_ms) {
  Bytes raw;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    // Complete once the frames parse through one marked last.
    std::size_t p = 0;
    while (p + 4 < raw.size() && p + 5 + raw[p + 2] <= raw.size()) {
      if ((raw[p + 3] & 0x80) != 0) return raw;
      p += 5 + std::size_t{raw[p + 2]};
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return raw;
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return raw;
    std::uint8_t buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return raw;
    raw.insert(raw.end(), buffer, buffer + n);
  }
}

TEST(PtySimulatorTest, AnswersAnIdentificationRequestOnTheSlavePath) {
  char log_name[] = "/tmp/kbx_sim_test_XXXXXX";
  const int log_fd = ::mkstemp(log_name);
  ASSERT_GE(log_fd, 0);
  ::close(log_fd);

  {
    PtySimulator simulator(SimOptions{}, log_name);
    simulator.Start();
    ASSERT_EQ(simulator.SlavePath().rfind("/dev/", 0), 0u) << simulator.SlavePath();

    for (int round = 0; round < 2; ++round) {  // close and reopen the port in between
      const int fd = ::open(simulator.SlavePath().c_str(), O_RDWR | O_NOCTTY);
      ASSERT_GE(fd, 0);
      const Bytes request{0xAB, 0x01, 0xA0, 0xB4};
      ASSERT_EQ(::write(fd, request.data(), request.size()), 4);
      const Bytes raw = ReadAnswer(fd, 3000);
      const Response response = Join(raw);
      EXPECT_EQ(response.block, 1);
      EXPECT_EQ(response.data, UpsModel().IdentificationBlock());
      ::close(fd);
    }
    EXPECT_EQ(simulator.RequestCount(0xA0), 2);
    EXPECT_TRUE(simulator.Locked());
    EXPECT_EQ(simulator.ReportedType(), 290);
    EXPECT_EQ(simulator.Error(), "");
    simulator.Stop();
    EXPECT_FALSE(simulator.Running());
  }

  std::ifstream log(log_name);
  std::string line;
  int lines = 0;
  // "HH:MM:SS.mmm AB 01 A0 B4"
  const auto well_formed = [](const std::string& text) {
    if (text.size() != 24 || text.substr(12) != " AB 01 A0 B4") return false;
    for (std::size_t i = 0; i < 12; ++i) {
      const bool digit = text[i] >= '0' && text[i] <= '9';
      if (i == 2 || i == 5 ? text[i] != ':' : i == 8 ? text[i] != '.' : !digit) return false;
    }
    return true;
  };
  while (std::getline(log, line)) {
    EXPECT_TRUE(well_formed(line)) << line;
    ++lines;
  }
  EXPECT_EQ(lines, 2);
  std::remove(log_name);
}

TEST(PtySimulatorTest, UnplugRemovesTheDevice) {
  PtySimulator simulator(SimOptions{});
  simulator.Start();
  const std::string path = simulator.SlavePath();
  ASSERT_EQ(::access(path.c_str(), F_OK), 0);
  simulator.Unplug();
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace kbx
