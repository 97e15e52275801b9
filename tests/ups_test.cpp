// What the program does with the UPS: identification, connecting, the
// battery time, the setting commands, the module configuration and start-up.
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <tuple>

#include "support/simulated_ups.h"
#include "support/xcp_fixture.h"
#include "ups/kbx_config.h"
#include "ups/runtime.h"

namespace kbx::test {
namespace {

using ::testing::ElementsAre;

class Identification : public XcpTest {
 protected:
  void Parse(const Bytes& block) {
    ups.answers[0xA0] = {Block(1, block)};
    ups.Attach(port);
    xcp.ReadIdentification();
  }
};

TEST_F(Identification, VersionsAndMaps) {
  const auto versions = [&] {
    std::vector<std::string> texts;
    for (int k = 1; k <= 5; ++k) texts.push_back(xcp.ProcessorVersion(k).Text());
    return texts;
  };
  const auto lengths = [&] {
    return std::tuple(xcp.MeterMapLength(), xcp.FlagMapLength(), xcp.TypeBlockLength(), xcp.ThirdMapLength());
  };
  Parse({0x01, 0x03, 0x01, 0x05, 0x00, 0x00, 0x02, 0x41, 0x42, 0x04, 0x00, 0xF0, 0x00, 0x40, 0x01, 0x07, 0x10,
         0x00, 0x00});
  EXPECT_THAT(versions(), ElementsAre("1.03", "0.00", "0.00", "0.00", "0.00"));
  EXPECT_THAT(xcp.MeterNumbers(), ElementsAre(2, 4));
  EXPECT_THAT(xcp.MeterFormats(), ElementsAre(0xF0, 0x40));
  EXPECT_EQ(lengths(), std::tuple(4, 1, 16, 0));
  // The authorization goes first, with the access code, and nothing waits for its answer.
  EXPECT_THAT(ups.requests, ElementsAre(Bytes{0xCF, 0x4B, 0x42, 0x58}, Bytes{0xA0}));

  // No processors; a selector of 0 with its two bytes more; seven processors, of which five are kept.
  const std::pair<std::vector<std::pair<std::uint8_t, std::uint8_t>>, std::vector<std::string>> cases[] = {
      {{}, {"0.00", "0.00", "0.00", "0.00", "0.00"}},
      {{{0x01, 0x03}, {0x02, 0x10}}, {"1.03", "2.10", "0.00", "0.00", "0.00"}},
      {{{1, 3}, {1, 9}, {1, 0}, {2, 0}, {3, 0x45}, {9, 9}, {8, 8}}, {"1.03", "1.09", "1.00", "2.00", "3.45"}},
  };
  for (const auto& [processors, texts] : cases) {
    SCOPED_TRACE(processors.size());
    Parse(IdBlock(processors, processors.size() == 2 ? 0x00 : 0x05, MeterMap36(0xF0), 2, 0x0010, 3));
    EXPECT_EQ(versions(), texts);
    EXPECT_THAT(xcp.MeterNumbers(), ElementsAre(3, 10, 36));
    EXPECT_EQ(lengths(), std::tuple(36, 2, 16, 3));
  }
  // An empty meter map keeps the meters of the unit before.
  Parse(IdBlock({{1, 3}}, 5, {0x00, 0x00, 0x00}, 0, 16));
  EXPECT_EQ(xcp.MeterMapLength(), 3);
  EXPECT_THAT(xcp.MeterNumbers(), ElementsAre(3, 10, 36));
  EXPECT_TRUE(host.board.empty());
}

// The type block is asked for even when none was announced. A block cut
// short keeps what was read before the cut (the first row: on a fresh unit).
TEST_F(Identification, TypeCodesAndShortBlocks) {
  const Bytes id = IdBlock({{0x01, 0x03}}, 0x05, {0x00, 0xF0}, 0, 16, 2);
  const Bytes overflowing = IdBlock({{0x01, 0x03}}, 0x05, {0x00, 0xF0}, 0, 0x8001, 2);
  const struct {
    const char* what;
    Bytes id;
    Bytes typeBlock;  // empty: no answer
    std::int32_t type;
    std::vector<std::string> board;
    std::int16_t typeLength;
  } cases[] = {
      {"no flag map length", Bytes(id.begin(), id.begin() + 12), {}, 0, {"9 Subscript out of range 9"}, 0},
      {"280", id, {0x18, 0x01, 0x00}, 280, {}, 16},
      {"above 32767", id, {0x01, 0x80}, 32769, {}, 16},
      {"none announced", IdBlock({{1, 3}}, 5, {0x00, 0xF0}, 0, 0), {0x18, 0x01}, 0, {}, 0},
      {"no answer", id, {}, 0, {}, 16},
      {"type block short", id, {0x18}, 0, {"9 Subscript out of range 8"}, 16},
      {"third map short", Bytes(id.begin(), id.end() - 1), {}, 0, {"9 Subscript out of range 9"}, 16},
      {"type block length overflows", overflowing, {}, 0, {"6 Overflow 9"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ups = ScriptedUps{};
    ups.answers[0xA0] = {Block(1, c.id)};
    ups.answers[0x36] = {c.typeBlock.empty() ? Bytes{} : Block(6, c.typeBlock)};
    ups.Attach(port);
    host.ClearBoard();
    EXPECT_EQ(xcp.IdentifyUps(), c.type);
    EXPECT_EQ(host.board, c.board);
    EXPECT_FALSE(ups.RequestsStartingWith(0x36).empty());
    EXPECT_EQ(xcp.ProcessorVersion(1), FirmwareVersion(0x01, 0x03));
    EXPECT_THAT(xcp.MeterNumbers(), ElementsAre(2));
    EXPECT_EQ(xcp.TypeBlockLength(), c.typeLength);
  }
}

class Connect : public XcpTest {};

// The verdict on an identified unit: by its type, and for a 290 by the bytes
// of its second processor's version (1.03 exactly), letters or not. A 281 is
// asked to switch over and identified again: accepted only when it stays
// silent and then reports 280. The switch request takes its long form when
// the unit has a fourth processor, whatever digits its version has.
TEST_F(Connect, DecidesByTypeAndVersions) {
  using Versions = std::vector<std::pair<std::uint8_t, std::uint8_t>>;
  using enum UnitVerdict;
  const auto with2 = [](std::uint8_t major, std::uint8_t minor) { return Versions{{1, 3}, {major, minor}}; };
  const auto withFourth = [](std::uint8_t major, std::uint8_t minor) {
    return Versions{{1, 3}, {1, 3}, {1, 3}, {major, minor}};
  };
  const Versions two = with2(1, 3);
  const Bytes longForm{0xCE, 0x01, 0x00, 0x00}, shortForm{0xCE, 0x00, 0x00};
  const std::vector<std::string> found{"Connecting...", "UPS Found", "Done"},
      switched{"Connecting...", "Done"},
      upsTooOld{"Connecting...", "UPS code needs upgrade to newer version", "Done"},
      programTooOld{"Connecting...", "KBX Configurator needs upgrade to newer version", "Done"},
      unknown{"Connecting...", "Invalid UPS Type", "Done"}, noUps{"Connecting...", "NO UPS Found", "Done"},
      overflow{"Connecting...", "6 Overflow 6"};
  const struct {
    std::vector<std::uint16_t> types;  // what the type block reports, in turn (0 after a 281: nothing)
    Versions versions;
    UnitVerdict verdict;
    std::int16_t type;  // the type it is left with
    std::size_t linkStarts;
    const std::vector<std::string>& board;
    Bytes switchRequest;    // the one written, if any
    bool answersTheSwitch;  // the unit answers the switch request with a frame
  } cases[] = {
      {{280}, {{1, 3}}, kAccepted, 280, 1, found, {}, false},
      {{292}, with2(0, 0), kAccepted, 292, 1, found, {}, false},
      {{290}, two, kAccepted, 290, 1, found, {}, false},
      {{290}, with2(1, 2), kUpsCodeTooOld, 290, 0, upsTooOld, {}, false},
      {{290}, with2(0, 0x0A), kUpsCodeTooOld, 290, 0, upsTooOld, {}, false},
      {{290}, {{1, 3}}, kUpsCodeTooOld, 290, 0, upsTooOld, {}, false},
      {{290}, with2(1, 4), kProgramTooOld, 290, 0, programTooOld, {}, false},
      {{290}, with2(1, 0x0A), kProgramTooOld, 290, 0, programTooOld, {}, false},
      {{290}, with2(1, 0xE5), kProgramTooOld, 290, 0, programTooOld, {}, false},
      {{290}, with2(0x0A, 0), kProgramTooOld, 290, 0, programTooOld, {}, false},
      {{285}, two, kUnknownType, 285, 0, unknown, {}, false},
      {{1}, two, kNoUps, 1, 0, noUps, {}, false},
      {{0}, two, kNoUps, 0, 0, noUps, {}, false},
      {{0x8001}, two, kFailed, 0, 0, overflow, {}, false},
      {{281, 280}, two, kAccepted, 280, 2, switched, shortForm, false},
      {{281, 280}, withFourth(0x01, 0x0A), kAccepted, 280, 2, switched, longForm, false},
      {{281, 280}, withFourth(0x1A, 0x0B), kAccepted, 280, 2, switched, longForm, false},
      {{281, 280}, withFourth(0x01, 0x03), kAccepted, 280, 2, switched, longForm, false},
      {{281, 280}, withFourth(0x00, 0x00), kAccepted, 280, 2, switched, shortForm, false},
      {{281, 280}, {{1, 3}, {1, 3}, {1, 3}}, kAccepted, 280, 2, switched, shortForm, false},
      {{281, 281}, two, kNoUps, 281, 1, noUps, shortForm, false},
      {{281, 290}, two, kNoUps, 290, 1, noUps, shortForm, false},
      {{281, 0}, two, kNoUps, 0, 1, noUps, shortForm, false},
      {{281, 280}, two, kNoUps, 281, 0, noUps, shortForm, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.types) + " " + ::testing::PrintToString(c.versions));
    UnitWith(c.versions, c.types);
    if (c.types.size() == 2 && c.types[1] == 0) ups.answers[0x36].back().clear();
    if (c.answersTheSwitch) ups.answers[0xCE] = {Ack(0x31)};
    const ConnectOutcome outcome = xcp.ConnectUps();
    const bool linkUp = c.verdict == kAccepted;
    EXPECT_EQ(std::tuple(outcome.verdict, xcp.LinkUp(), host.portState.linkUp),
              std::tuple(c.verdict, linkUp, linkUp));
    EXPECT_EQ(host.board, c.board);
    // Every line but the progress ones is drawn as a failure.
    EXPECT_EQ(host.failures, linkUp ? std::vector<std::string>{} : std::vector{c.board[1]});
    // The link starts once an identified unit is accepted.
    EXPECT_EQ(ups.RequestsStartingWith(0xFF),
              std::vector<Bytes>(c.linkStarts, Bytes{0xFF, 0x06, 0x08, 0x62}));
    EXPECT_EQ(ups.RequestsStartingWith(0xCE),
              c.switchRequest.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{c.switchRequest});
    if (c.verdict == kFailed) continue;
    // What it found, accepted or not.
    EXPECT_EQ(std::tuple(xcp.UpsType(), outcome.type), std::tuple(c.type, c.type));
    std::array<FirmwareVersion, 5> versions{};
    for (std::size_t k = 0; k < c.versions.size(); ++k)
      versions[k] = {c.versions[k].first, c.versions[k].second};
    EXPECT_EQ(outcome.versions, versions);
  }
}

TEST_F(Connect, APortThatFailsOnIdentificationIsReportedOnce) {
  Unit(290);
  port.existing.erase(1);  // the device has vanished
  EXPECT_EQ(xcp.IdentifyUps(), 0);
  EXPECT_THAT(host.board, ElementsAre("Invalid port number"));
  xcp.ConnectUps();
  EXPECT_THAT(host.board, ElementsAre("Connecting...", "Invalid port number", "NO UPS Found", "Done"));
  EXPECT_TRUE(port.writes.empty());
}

// A disconnect forgets the unit but not its meters, and keeps the port open.
// (Its lines, and connecting while up disconnecting first, are
// Window.StartsThenConnectsAndDisconnectsByButtonAndMenu's.)
TEST_F(Connect, DisconnectForgetsTheUnit) {
  Connected(290);
  xcp.DisconnectUps();
  EXPECT_THAT(ups.requests, ElementsAre(Bytes{0xFF}));
  EXPECT_EQ(std::tuple(xcp.LinkUp(), host.portState.linkUp, xcp.UpsType(), xcp.ProcessorVersion(1).Present(),
                       xcp.ProcessorVersion(2).Present(), xcp.MeterMapLength(), port.IsOpen()),
            std::tuple(false, false, 0, false, false, 0, true));
  EXPECT_THAT(xcp.MeterNumbers(), ElementsAre(3, 10, 36));
}

class Runtime : public XcpTest {};

// Meter 36 of a 290 in every format: the third reported meter, bytes 8 to 11
// of the meter block. A meter the unit does not report, or a block too short
// for it, fails once the block is in; with no unit nothing is asked.
TEST_F(Runtime, DecodesEveryFormatAndSaysWhatGivesNoTime) {
  const struct {
    std::uint8_t format;
    std::int16_t meter;
    Bytes bytes;  // the block's from byte 8 on
    double value;
    const char* line;  // the board's only line, if not ""
  } cases[] = {
      {0xF0, 36, {0x10, 0x0E, 0x00, 0x00}, 3600, ""},
      {0xF2, 36, {0x10, 0x0E, 0x00, 0x00}, 900, ""},
      {0xE2, 36, {0x2C, 0x01, 0x00, 0x00}, 300, ""},
      {0x40, 36, {0x00, 0x00, 0x61, 0x45}, 3600, ""},
      {0x01, 36, {0x00, 0x00, 0xC0, 0x3F}, 1.5, ""},
      {0xF0, 36, {0x05, 0x01, 0x00, 0x00}, 261, ""},
      {0xFF, 36, {0x00, 0x00, 0x00, 0x80}, 65536, ""},
      {0xF0, 36, {0x78, 0x56, 0x34, 0x12}, 0x12345678, ""},
      {0xE0, 36, {0x10, 0x0E, 0, 0}, 0, ""},
      {0xE1, 36, {0x10, 0x0E, 0, 0}, 0, ""},
      {0x98, 36, {0x10, 0x0E, 0, 0}, 0, ""},
      {0xEF, 36, {0x10, 0x0E, 0, 0}, 0, ""},
      {0xF0, 99, {0x01, 0x01, 0x01, 0x01}, 0, "9 Subscript out of range 10"},
      {0xF0, 36, {0x01, 0x01, 0x01}, 0, "9 Subscript out of range 10"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes) + " as meter " + std::to_string(c.meter) + " in format " +
                 std::to_string(c.format));
    ups.answers.clear();
    Unit(290, {1, 3}, c.format);
    xcp.ConnectUps();
    host.ClearBoard();
    ups.requests.clear();
    ups.answers[0x34] = {Block(4, Join({{0, 0, 0x61, 0x45, 0, 0, 0, 0}, c.bytes}))};  // meters 3 and 10 first
    EXPECT_DOUBLE_EQ(xcp.GetBatteryTimeRemaining(c.meter), c.value);
    EXPECT_THAT(ups.requests, ElementsAre(Bytes{0x34}));
    EXPECT_EQ(host.board, *c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{});
    EXPECT_EQ(host.failures, host.board);
  }
  xcp.DisconnectUps();
  ups.requests.clear();
  host.ClearBoard();
  EXPECT_EQ(xcp.GetBatteryTimeRemaining(36), 0);
  EXPECT_TRUE(ups.requests.empty());
  EXPECT_THAT(host.board, ElementsAre("Invalid Machine Type"));
  EXPECT_EQ(host.failures, host.board);
}

// The time read as a single: none when it is zero or no finite number. (With
// no link it is "Link Down": CliSession.CommandsWithoutALinkSayLinkDownAndFail.)
TEST_F(Runtime, TheCommandShowsTheTimeOrWhyNot) {
  Unit(290, {1, 3}, 0x40);
  xcp.ConnectUps();
  for (const float value : {5400.0f, 13.0f, 0.0f, INFINITY, NAN}) {
    Bytes single(4);
    std::memcpy(single.data(), &value, 4);
    ups.answers[0x34] = {Block(4, Join({Bytes(8, 0), single}))};
    const std::optional<double> read = RuntimeCommand(xcp);
    if (value == 5400 || value == 13) {
      EXPECT_EQ(read, value);
      // The seconds are cut, not rounded.
      const char* line = value == 13 ? "Battery Time Remain:  0:00:12" : "Battery Time Remain:  1:30:00";
      EXPECT_THAT(host.board, ElementsAre("Getting Time Remain...", line, "Done"));
      EXPECT_TRUE(host.failures.empty());
    } else {
      EXPECT_EQ(read, std::nullopt) << value;
      EXPECT_THAT(host.board, ElementsAre("Getting Time Remain...", "Error Getting Runtime")) << value;
      EXPECT_THAT(host.failures, ElementsAre("Error Getting Runtime")) << value;
    }
  }
}

class Modules : public XcpTest {
 protected:
  void AckEverySetting() {
    for (std::uint8_t command : Bytes{0x78, 0xBD, 0xCF, 0x95}) ups.answers[command] = {Ack(0x31)};
  }
  void Prepare(std::uint16_t type) {
    Connected(type);
    AckEverySetting();
  }
};

// A refused authorization is the parameter's only line; a closed port writes
// none. (The request bytes are EachCountOnEveryTypeAsTheSimulatedUnitTakesIt's.)
TEST_F(Modules, ASettingCommandRefusedOrNotSent) {
  ups.answers[0xCF] = {Ack(0x36)};
  ups.answers[0x95] = {Ack(0x35)};
  ups.Attach(port);
  EXPECT_FALSE(xcp.SetUpsParameter(0x0F, 1));
  EXPECT_THAT(ups.requests, ElementsAre(Bytes{0xCF, 0x4B, 0x42, 0x58}, Bytes{0x95, 0x0F, 0x01, 0x00}));
  EXPECT_THAT(host.board, ElementsAre("Command Parameter invalid (36)"));
  host.ClearBoard();
  port.Close();
  EXPECT_FALSE(xcp.SetRamValue(0x0269, 0x3E2));
  EXPECT_FALSE(xcp.SetUpsVariable(32, 1));
  EXPECT_TRUE(host.board.empty());
}

// The 290 and the 281 are the window's (ui_test); here the other types and none.
TEST_F(Modules, WhatOpeningTheDialogOffersPerType) {
  for (const std::int16_t type : {std::int16_t{280}, std::int16_t{292}, std::int16_t{0}}) {
    host.ClearBoard();
    XcpProbe::SetUpsType(xcp, type);
    xcp.RememberModuleChoices("1", true);
    const KbxChoices choices = DetermineKbxSupport(xcp);
    std::vector<std::string> items{"0", "1", "2"}, board{"Determining KBXs Supported...", "Done"};
    if (type == 0) {  // no unit: nothing offered, and no "Done"
      items.clear();
      board.pop_back();
    }
    EXPECT_EQ(choices.items, items) << type;
    EXPECT_TRUE(choices.applyEnabled && choices.optionsEnabled) << type;
    EXPECT_EQ(choices.selected, type == 0 ? -1 : 1) << type;
    EXPECT_EQ(host.board, board) << type;
    EXPECT_TRUE(host.failures.empty()) << type;
  }
}

// Each count on a 290 (the count variable 2n + 1, the base time 994, 4491 or
// 8328 in a variable and in RAM, the checksum reset that commits them) and on
// the 280 and 292 (a parameter), as the simulator's unit takes them: the
// battery time read afterwards is scaled by the base time.
TEST_F(Modules, EachCountOnEveryTypeAsTheSimulatedUnitTakesIt) {
  const struct {
    std::int16_t count;
    std::vector<Bytes> requests290;
    double time;
  } counts[] = {
      {2,
       {{0x78, 0x20, 0x05, 0x00}, {0x78, 0x38, 0x88, 0x20}, {0xBD, 0x69, 0x02, 0x88, 0x20}, {0x78, 0x00}},
       15081},
      {1,
       {{0x78, 0x20, 0x03, 0x00}, {0x78, 0x38, 0x8B, 0x11}, {0xBD, 0x69, 0x02, 0x8B, 0x11}, {0x78, 0x00}},
       8133},
      {0,
       {{0x78, 0x20, 0x01, 0x00}, {0x78, 0x38, 0xE2, 0x03}, {0xBD, 0x69, 0x02, 0xE2, 0x03}, {0x78, 0x00}},
       1800},
  };
  const auto ofType = [](int type) {
    SimOptions options;
    options.type = type;
    return SimulatedUps(options);
  };
  SimulatedUps units[] = {ofType(290), ofType(280), ofType(292)};
  for (SimulatedUps& unit : units) {
    const int type = unit.model.Options().type;
    if (xcp.LinkUp()) xcp.DisconnectUps();
    unit.Attach(port);
    xcp.ConnectUps();
    ASSERT_TRUE(xcp.LinkUp()) << type;
    for (const auto& [count, requests290, time] : counts) {
      SCOPED_TRACE(std::to_string(type) + " with " + std::to_string(count));
      const std::size_t before = unit.model.Requests().size();
      host.ClearBoard();
      if (type == 290) {
        const KbxUpdateOutcome outcome = ApplyKbxConfiguration(xcp, std::to_string(count), false);
        EXPECT_TRUE(outcome.Done());
        EXPECT_EQ(outcome.Confirmed().size(), 4u);
        EXPECT_THAT(host.board, ElementsAre("Updating KBXs...", "Done"));
        EXPECT_EQ(std::tuple(unit.model.Variable(32), unit.model.RamWord(0x0269)),
                  std::tuple(2 * count + 1, requests290[1][2] | requests290[1][3] << 8));
      } else {
        EXPECT_TRUE(UpdateKBXConfiguration(xcp, count));
      }
      const std::vector<Bytes> sent(unit.model.Requests().begin() + static_cast<long>(before),
                                    unit.model.Requests().end());
      const std::vector<Bytes> parameter{{0xCF, 0x4B, 0x42, 0x58},
                                         {0x95, 0x0F, static_cast<std::uint8_t>(count), 0x00}};
      EXPECT_EQ(sent, type == 290 ? requests290 : parameter);
      EXPECT_EQ(unit.model.CommittedModuleCount(), count);
      EXPECT_DOUBLE_EQ(xcp.GetBatteryTimeRemaining(36), time);
    }
  }
}

// A step that the UPS refuses, or whose request the port does not send, ends
// the update there with its line; the outcome says which values got in.
TEST_F(Modules, EachFailingStepOfA290EndsTheUpdate) {
  using Ending = KbxUpdateOutcome::Ending;
  const std::vector<std::string> steps{"module count", "battery base time", "battery base time in RAM",
                                       "EEPROM checksum reset"};
  const char* const stepLines[] = {"Error Setting KBXs", "Error Setting Battery Base Time",
                                   "Error Updating Battery Base Time RAM value",
                                   "Error Resetting EEPROM Checksum"};
  for (const Ending ending : {Ending::kNotAcknowledged, Ending::kNotSent}) {
    for (std::size_t failing = 0; failing < 4; ++failing) {
      const std::string what = EndingName(ending) + " at step " + std::to_string(failing + 1);
      SCOPED_TRACE(what);
      Prepare(290);
      std::size_t written = 0;
      port.writeFault = [&](const Bytes&) {
        return ending == Ending::kNotSent && written++ == failing ? kErrWriteDevice : 0;
      };
      if (ending == Ending::kNotAcknowledged) {
        std::vector<Bytes> answers(4, Ack(0x31));
        answers[failing] = Ack(0x33);
        port.Answer(answers);
      }
      xcp.RememberModuleChoices("0", true);
      const KbxUpdateOutcome outcome = ApplyKbxConfiguration(xcp, "1", true);

      std::vector<std::string> board{"Updating KBXs..."};
      board.push_back(ending == Ending::kNotAcknowledged ? "UPS Busy (33)"
                                                         : "8021 Error writing comm device 5");
      if (ending == Ending::kNotAcknowledged && failing == 2) board.push_back("Error Setting RAM Value");
      board.push_back(stepLines[failing]);
      EXPECT_EQ(host.board, board);
      EXPECT_EQ(host.failures, std::vector(board.begin() + 1, board.end()));
      EXPECT_EQ(port.writes.size(), ending == Ending::kNotAcknowledged ? failing + 1 : failing);
      EXPECT_FALSE(outcome.Done());
      EXPECT_EQ(std::tuple(outcome.ending, outcome.step, outcome.line),
                std::tuple(ending, static_cast<int>(failing + 1), FailureLine(stepLines[failing])));
      EXPECT_EQ(outcome.Confirmed(), std::vector(steps.begin(), steps.begin() + static_cast<long>(failing)));
      EXPECT_EQ(xcp.ModuleCount(), "1");  // kept although the update failed
      if (ending == Ending::kNotSent && failing == 2) {
        EXPECT_EQ(
            KbxUpdateSummary(outcome),
            "the update stopped at step 3 of 4 (the battery base time in RAM): the request was not sent; the "
            "UPS confirmed only the module count and the battery base time; run the update again");
      }
      port.writeFault = nullptr;
    }
  }
}

TEST_F(Modules, FailuresOfThe280AndOfTheArguments) {
  using Ending = KbxUpdateOutcome::Ending;
  Prepare(280);
  ups.answers[0x95] = {Ack(0x35)};
  KbxUpdateOutcome outcome = ApplyKbxConfiguration(xcp, "2", true);
  EXPECT_EQ(outcome.ending, Ending::kNotAcknowledged);
  EXPECT_EQ(outcome.step, 1);
  EXPECT_THAT(host.board, ElementsAre("Updating KBXs...", "Error Setting KBXs"));

  host.ClearBoard();
  EXPECT_FALSE(ApplyKbxConfiguration(xcp, "", true));
  EXPECT_THAT(host.board, ElementsAre("13 Type mismatch 14"));

  Prepare(290);
  outcome = UpdateKBXConfiguration(xcp, 3);
  EXPECT_EQ(outcome.ending, Ending::kInterrupted);
  EXPECT_EQ(outcome.step, 2);
  EXPECT_THAT(outcome.Confirmed(), ElementsAre("module count"));
  EXPECT_THAT(host.board, ElementsAre("Updating KBXs...", "9 Subscript out of range"));
  EXPECT_THAT(ups.requests, ElementsAre(Bytes{0x78, 0x20, 0x07, 0x00}));

  XcpProbe::SetUpsType(xcp, 281);
  ups.requests.clear();
  EXPECT_EQ(UpdateKBXConfiguration(xcp, 1).ending, Ending::kNotSupported);
  EXPECT_TRUE(ups.requests.empty());
}

TEST(KbxConfirm, TheQuestion) {
  EXPECT_EQ(KbxConfirmText("2"),
            "WARNING: You are about to update number of KBXs attached to UPS. \r\nRuntime will be inaccurate "
            "if wrong "
            "number of KBXs are associated with UPS.\r\n\r\nNumber of KBXs selected:  2 \r\n\r\nContinue? ");
}

TEST(StartUpBox, OnlyPortFailuresOtherThanNotOpenGetABox) {
  const struct {
    int openError;
    int baud;
    bool portExists;
    const char* box;
    const char* line;
  } cases[] = {
      {0, 19200, true, "", nullptr},
      {8012, 19200, true, "", "Unable to open port"},
      {8015, 19200, true,
       "8015 Start: Could not set comm state, there may be one or more invalid parameters 1",
       "Invalid communications parameters"},
      {0, 19200, false, "8002 Start: Invalid port number 1", "Invalid port number"},
      {0, 12345, true, "380 Start: Invalid property value 1", "Invalid Baud Rate"},
      {8020, 19200, true, "", "8020 Error reading comm device"},
  };
  for (const auto& c : cases) {
    VirtualClock clock;
    FakePort port(clock);
    RecordingHost host;
    Xcp xcp(port, clock, host);
    port.openError = c.openError;
    if (!c.portExists) port.existing.erase(1);
    const StartUpOutcome started = StartUp(xcp, c.baud);
    EXPECT_EQ(started.BoxLine(), c.box) << c.box;
    // A failure it knows by name comes back, boxed or not; another is on the board only.
    EXPECT_EQ(started.portFailure.has_value(), *c.box != '\0' || c.openError == 8012) << c.box;
    EXPECT_EQ(host.board, c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{}) << c.box;
    // The label shows what the port has in force, opened or not.
    EXPECT_EQ(SettingsLabel(host.portState), c.baud == 19200 ? " COM1,19200,N,8,1" : " COM1,9600,N,8,1");
    EXPECT_EQ(host.portState.open, c.line == nullptr);
  }
}

}  // namespace
}  // namespace kbx::test
