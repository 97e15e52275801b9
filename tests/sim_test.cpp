#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "link/frame.h"
#include "sim/pty_simulator.h"
#include "sim/ups_model.h"

namespace kbx {
namespace {

// ---- helpers that read answers the way the program does ----

template <class... Parts>
Bytes Cat(const Parts&... parts) {
  Bytes out;
  (out.insert(out.end(), parts.begin(), parts.end()), ...);
  return out;
}

// The data of one complete answer of the given block (frames numbered 1, 2,
// ... with the last one marked, good checksums), read as the program reads it.
Bytes Join(const Bytes& raw, std::uint8_t block) {
  const DecodedResponse answer = DecodeResponse(raw, 0);
  EXPECT_EQ(answer.outcome, DecodedResponse::Outcome::kComplete);
  EXPECT_EQ(answer.block, block);
  EXPECT_EQ(answer.end, raw.size());
  return answer.data;
}

Bytes Ask(UpsModel& model, const Bytes& request) {
  return model.Receive(BuildRequestFrame(request));
}

// The status of a one-frame acknowledgement answer.
int AskAck(UpsModel& model, const Bytes& request) {
  const Bytes status = Join(Ask(model, request), kAckBlock);
  EXPECT_EQ(status.size(), 1u);
  return status.empty() ? -1 : status[0];
}

// The type the type block reports, low byte first.
int TypeOf(UpsModel& model) {
  const Bytes type = Join(Ask(model, {0x36}), 6);
  EXPECT_EQ(type.size(), 16u);
  return type.at(0) | type.at(1) << 8;
}

// Four bytes from `at` on, least significant first.
std::uint32_t Le32(const Bytes& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = at + 4; i-- > at;) value = value << 8 | bytes.at(i);
  return value;
}

// The identification block: processor count and versions (minor, major; by
// default two processors, 1.03 and 1.03), selector 05 and two bytes, the tag
// "SIM", the 40-entry meter map (meters 3 and 10 single precision, 36 as
// given, 38 fixed point), the flag map, the type block length, the third map.
Bytes Identification(std::uint8_t meter36 = 0xF0, const Bytes& versions = {0x02, 0x03, 0x01, 0x03, 0x01},
                     const Bytes& typeLength = {0x10, 0x00}) {
  Bytes map(40, 0);
  map[3 - 1] = map[10 - 1] = 0x40;
  map[36 - 1] = meter36;
  map[38 - 1] = 0xF0;
  return Cat(versions, Bytes{0x05, 0x00, 0x00, 0x03, 'S', 'I', 'M', 40}, map,
             Bytes{0x04, 0x01, 0x00, 0x00, 0x01}, typeLength, Bytes{0x02, 0x00, 0x00});
}

// The default options with some changed.
SimOptions With(const std::function<void(SimOptions&)>& change) {
  SimOptions options;
  change(options);
  return options;
}

UpsModel Unlocked(SimOptions options = {}) {
  UpsModel model(std::move(options));
  EXPECT_EQ(AskAck(model, {0xCF, 0x4B, 0x42, 0x58}), 0x31);
  return model;
}

// ---- the line ----

TEST(SimLine, FramesAreFoundInNoiseAcrossChunksAndAfterAnIdleLine) {
  UpsModel model;
  UpsModel fresh;
  const Bytes identify = BuildRequestFrame({0xA0});
  const Bytes type = BuildRequestFrame({0x36});
  // Noise, a frame with a wrong checksum, then a good one.
  EXPECT_EQ(model.Receive(Cat(Bytes{0x00, 0x13, 0xAB, 0x01, 0xA0, 0xB5}, type)), fresh.Receive(type));
  EXPECT_EQ(model.RequestCount(0xA0), 0);
  Bytes answer;  // byte by byte
  for (const std::uint8_t byte : identify) answer = Cat(answer, model.Receive({byte}));
  EXPECT_EQ(answer, fresh.Receive(identify));
  const Bytes unknown = BuildRequestFrame({0x42});
  EXPECT_EQ(model.Receive(Cat(type, unknown)), Cat(fresh.Receive(type), fresh.Receive(unknown)));
  // A stray start byte claiming 240 data bytes hides a frame until the line goes idle.
  EXPECT_TRUE(model.Receive(Cat(Bytes{0xAB, 0xF0}, identify)).empty());
  EXPECT_EQ(model.LineIdle(), fresh.Receive(identify));
}

// ---- blocks ----

TEST(SimBlocks, IdentificationFollowsTheOptionsWithMeter36TheThirdMeter) {
  UpsModel model;
  EXPECT_EQ(Join(Ask(model, {0xA0}), 1), Identification());
  EXPECT_EQ(Join(Ask(model, {0x34}), 4), Cat(EncodeMeterValue(230, 0x40), EncodeMeterValue(50, 0x40),
                                             EncodeMeterValue(1800, 0xF0), EncodeMeterValue(100, 0xF0)));

  UpsModel other(With([&](SimOptions& o) {
    o.versions = {{0x01, 0x03}, {0x01, 0x04}, {0x00, 0x00}, {0x01, 0x10}};
    o.meter36Format = 0xE2;
    o.typeBlockLength = 0x0123;
  }));
  EXPECT_EQ(Join(Ask(other, {0xA0}), 1),
            Identification(0xE2, {0x04, 0x03, 0x01, 0x04, 0x01, 0x00, 0x00, 0x10, 0x01}, {0x23, 0x01}));
  EXPECT_EQ(Join(Ask(other, {0x36}), 6).size(), 0x0123u);

  UpsModel without36(With([&](SimOptions& o) { o.meter36Format = 0; }));
  EXPECT_EQ(Join(Ask(without36, {0xA0}), 1), Identification(0x00));
  EXPECT_EQ(Join(Ask(without36, {0x34}), 4).size(), 12u);
}

TEST(SimBlocks, TypeBlockCarriesTheTypeAndOnly281TakesTheSwitchRequestSilently) {
  for (const int type : {0, 1, 280, 281, 285, 290, 292, 65535}) {
    for (const Bytes& request : {Bytes{0xCE, 0x00, 0x00}, Bytes{0xCE, 0x01, 0x00, 0x00}}) {
      UpsModel model(With([&](SimOptions& o) { o.type = type; }));
      EXPECT_EQ(TypeOf(model), type);
      EXPECT_EQ(Ask(model, request).empty(), type == 281) << type;
      const int now = type == 281 ? 280 : type;  // a 281 switched is a 280
      EXPECT_EQ(TypeOf(model), now);
      EXPECT_EQ(AskAck(model, request), 0x31) << type;
    }
  }
}

TEST(SimBlocks, MetersAreEncodedPerFormatAndBatteryTimeSitsInBytes8To11) {
  // Value, format, the four bytes read as a number least significant first.
  const std::vector<std::tuple<double, std::uint8_t, std::uint32_t>> rows = {
      {3600, 0xF0, 0x0E10},   {3600, 0xF1, 0x1C20}, {900, 0xF2, 0x0E10},      {900, 0xF4, 0x3840},
      {261, 0xF0, 0x0105},    {1.5, 0xFF, 0xC000},  {1234.4, 0xF0, 0x04D2},   {1234.6, 0xF0, 0x04D3},
      {300, 0xE2, 0x012C},    {1800, 0xA0, 0x0708}, {3600, 0x40, 0x45610000}, {3600, 0x01, 0x45610000},
      {0.5, 0x97, 0x3F000000}};
  for (const auto& [value, format, bits] : rows) {
    SCOPED_TRACE(std::to_string(value) + " as format " + std::to_string(format));
    EXPECT_EQ(Le32(EncodeMeterValue(value, format), 0), bits);
    UpsModel model(With([format = format](SimOptions& o) { o.meter36Format = format; }));
    const Bytes meters = Join(Ask(model, {0x34}), 4);
    ASSERT_EQ(meters.size(), 16u);
    EXPECT_EQ(Bytes(meters.begin() + 8, meters.begin() + 12), EncodeMeterValue(1800, format));
  }
}

// ---- authorization and module configuration ----

TEST(SimAuthorization, SetCommandsNeedTheAccessCodeUntilDisconnect) {
  UpsModel model;
  for (const Bytes& request :
       {Bytes{0x78, 0x20, 0x05, 0x00}, Bytes{0xBD, 0x69, 0x02, 0x88, 0x20}, Bytes{0x95, 0x0F, 0x01, 0x00},
        Bytes{0x78, 0x00}, Bytes{0xCF, 0x4B, 0x42, 0x59}, Bytes{0xCF, 0x4B, 0x42}})
    EXPECT_EQ(AskAck(model, request), 0x36) << ::testing::PrintToString(request);
  EXPECT_TRUE(model.Locked());
  EXPECT_EQ(model.Variable(32), 1);
  EXPECT_EQ(model.RamWord(0x0269), 994);
  EXPECT_EQ(Ask(model, {0xCF, 0x4B, 0x42, 0x58}), (Bytes{0xAB, 0x09, 0x01, 0x81, 0x31, 0x99}));
  EXPECT_FALSE(model.Locked());
  EXPECT_TRUE(Ask(model, {0xFF, 0x06, 0x08, 0x62}).empty());  // link start: no answer, still unlocked
  EXPECT_EQ(AskAck(model, {0x78, 0x20, 0x05, 0x00}), 0x31);
  EXPECT_TRUE(model.Receive({0xAB, 0x01, 0xFF, 0x55}).empty());  // disconnect: no answer, locked again
  EXPECT_TRUE(model.Locked());
  EXPECT_EQ(AskAck(model, {0x78, 0x20, 0x03, 0x00}), 0x36);
  EXPECT_EQ(model.Variable(32), 5);

  UpsModel ownCode(With([&](SimOptions& o) { o.accessCode = {0x12, 0x34, 0x56}; }));
  EXPECT_EQ(AskAck(ownCode, {0xCF, 0x4B, 0x42, 0x58}), 0x36);
  EXPECT_EQ(AskAck(ownCode, {0xCF, 0x12, 0x34, 0x56}), 0x31);
  EXPECT_FALSE(ownCode.Locked());
}

// Each count on each type, as the program sends it, is Modules.EachCountOnEveryTypeAsTheSimulatedUnitTakesIt.
// Counts out of range, the other types' way to set the count and malformed
// set commands leave the count alone, even after the checksum reset.
TEST(SimModules, OutOfRangeForeignAndMalformedSetCommandsChangeNothing) {
  const std::vector<std::tuple<int, Bytes, int>> cases = {
      {290, {0x78, 0x20, 0x02, 0x00}, 0x35},  // the count itself, not 2n+1
      {290, {0x78, 0x20, 0x07, 0x00}, 0x35}, {292, {0x95, 0x0F, 0x03, 0x00}, 0x35},
      {290, {0x95, 0x0F, 0x02, 0x00}, 0x31}, {280, {0x78, 0x20, 0x05, 0x00}, 0x31},
      {290, {0x78, 0x20, 0x05}, 0x36},       {290, {0x78, 0x00, 0x01, 0x00}, 0x36},
      {290, {0xBD, 0x69, 0x02, 0x88}, 0x36}, {290, {0x95, 0x0F, 0x01}, 0x36}};
  for (const auto& [type, request, status] : cases) {
    SCOPED_TRACE(std::to_string(type) + " " + ::testing::PrintToString(request));
    UpsModel model = Unlocked(With([type = type](SimOptions& o) { o.type = type; }));
    EXPECT_EQ(AskAck(model, request), status);
    EXPECT_EQ(AskAck(model, {0x78, 0x00}), 0x31);
    EXPECT_EQ(model.CommittedModuleCount(), 0);
    if (type == 290) {
      EXPECT_EQ(model.Variable(32), 1);
      EXPECT_EQ(model.RamWord(0x0269), 994);
    }
  }
}

// ---- faults ----

// (A silent unit is CliSession.CommandsWithoutALinkSayLinkDownAndFail's.)
TEST(SimFaults, BusyAnswersTheFirstNAnsweredRequestsWith33) {
  UpsModel model(With([&](SimOptions& o) { o.busy = 3; }));
  EXPECT_TRUE(Ask(model, {0xFF}).empty());  // not answered: does not count
  EXPECT_TRUE(Ask(model, {0xFF, 0x06, 0x08, 0x62}).empty());
  EXPECT_EQ(AskAck(model, {0xCF, 0x4B, 0x42, 0x58}), 0x33);
  EXPECT_TRUE(model.Locked());  // a busy unit does not carry the request out
  EXPECT_EQ(AskAck(model, {0xA0}), 0x33);
  EXPECT_EQ(AskAck(model, {0xA0}), 0x33);
  EXPECT_EQ(Join(Ask(model, {0xA0}), 1), model.IdentificationBlock());
  EXPECT_EQ(AskAck(model, {0xCF, 0x4B, 0x42, 0x58}), 0x31);
  EXPECT_EQ(model.RequestCount(0xA0), 3);
}

// Every answer is read by the link's decoder; five bytes of frame around
// every `split` data bytes (at most 140).
TEST(SimFaults, SplitAnswersComeInNumberedFramesAndChecksumsGoBadOnTheFirstNAnswersOrOnAll) {
  const std::size_t size = Identification().size();
  for (const std::size_t split : {1, 2, 7, 8, 16, 63, 64, 140, 255}) {
    UpsModel model(With([&](SimOptions& o) { o.split = static_cast<int>(split); }));
    const Bytes raw = Ask(model, {0xA0});
    EXPECT_EQ(Join(raw, 1), Identification()) << split;
    EXPECT_EQ(raw.size(), size + 5 * ((size + split - 1) / split)) << split;
    EXPECT_EQ(AskAck(model, {0x42}), 0x34) << split;
  }
  UpsModel firstTwo(With([&](SimOptions& o) { o.badChecksum = 2; }));
  UpsModel every(With([&](SimOptions& o) { o.badChecksum = SimOptions::kEveryAnswer; }));
  for (int round = 0; round < 3; ++round) {
    EXPECT_TRUE(Ask(firstTwo, {0xFF}).empty());  // unanswered requests do not count
    const bool good = DecodeResponse(Ask(firstTwo, {0x36}), 0).outcome == DecodedResponse::Outcome::kComplete;
    EXPECT_EQ(good, round >= 2) << round;
  }
  // Only the checksum is wrong.
  const Bytes ack = Ask(every, {0x42}), sound = BuildResponseFrame(kAckBlock, 0x81, {0x34});
  ASSERT_EQ(ack.size(), sound.size());
  EXPECT_TRUE(std::equal(sound.begin(), sound.end() - 1, ack.begin()));
  EXPECT_NE(ack.back(), sound.back());
  EXPECT_NE(DecodeResponse(Ask(every, {0xA0}), 0).outcome, DecodedResponse::Outcome::kComplete);
}

TEST(SimFaults, RefusedCommandsGetTheirStatusAndAreNotCarriedOut) {
  UpsModel model = Unlocked(With([&](SimOptions& o) {
    o.type = 281;
    o.refuse = {{0x95, 0x35}, {0x34, 0x32}, {0xCE, 0x31}};
  }));
  EXPECT_EQ(AskAck(model, {0x95, 0x0F, 0x02, 0x00}), 0x35);
  EXPECT_EQ(model.CommittedModuleCount(), 0);
  EXPECT_EQ(AskAck(model, {0x34}), 0x32);
  EXPECT_EQ(AskAck(model, {0xCE, 0x00, 0x00}), 0x31);  // a 281 refusing the switch stays a 281
  EXPECT_EQ(TypeOf(model), 281);
  UpsModel locked(With([&](SimOptions& o) { o.refuse = {{0xCF, 0x33}}; }));
  EXPECT_EQ(AskAck(locked, {0xCF, 0x4B, 0x42, 0x58}), 0x33);
  EXPECT_TRUE(locked.Locked());
}

// ---- the simulator on a pseudo-terminal ----

// Reads from `fd` until `count` bytes have come or nothing came for three seconds.
Bytes ReadBytes(int fd, std::size_t count) {
  Bytes out;
  std::uint8_t buf[256];
  for (pollfd pfd{fd, POLLIN, 0}; out.size() < count && ::poll(&pfd, 1, 3000) > 0;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    out.insert(out.end(), buf, buf + std::max<ssize_t>(n, 0));
    if (n <= 0) break;
  }
  return out;
}

// The log says how the line was set when the request came (a pseudo-terminal
// keeps 8 data bits without parity).
TEST(PtySimulatorTest, AnswersOnTheSlavePathAndLogsEveryRequestWithTheLineSettings) {
  const std::string logName = ::testing::TempDir() + "kbx_sim_test.log";
  PtySimulator simulator(SimOptions{}, logName);
  simulator.Start();
  const std::string path = simulator.SlavePath();
  const Bytes request{0xAB, 0x01, 0xA0, 0xB4};
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0) << path;
  termios tio{};
  ASSERT_EQ(::tcgetattr(fd, &tio), 0);
  tio.c_cflag = (tio.c_cflag & ~(CSIZE | PARENB)) | CS8 | CSTOPB;
  ::cfsetspeed(&tio, B2400);
  ASSERT_EQ(::tcsetattr(fd, TCSANOW, &tio), 0);
  ASSERT_EQ(::write(fd, request.data(), request.size()), 4);
  const Bytes answer = ReadBytes(fd, Identification().size() + 5);
  ::close(fd);
  EXPECT_EQ(Join(answer, 1), Identification());
  simulator.Stop();
  EXPECT_EQ(simulator.Error(), "");
  std::ifstream log(logName);
  std::string line;
  EXPECT_TRUE(std::getline(log, line));
  EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d AB 01 A0 B4 \| 2400,N,8,2)")))
      << line;
  EXPECT_FALSE(std::getline(log, line)) << line;
  std::remove(logName.c_str());
}

}  // namespace
}  // namespace kbx
