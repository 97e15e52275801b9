// Looking for a UPS on a port without connecting to it, and many ports at
// once: on the in-memory port and the virtual clock.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "cli/cli_options.h"
#include "cli/scan_report.h"
#include "session/port_scan.h"
#include "support/xcp_fixture.h"
#include "ups/ups_probe.h"

namespace kbx::test {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

const Bytes kAuthorization{0xCF, 0x4B, 0x42, 0x58};
const Bytes kLinkStart{0xFF, 0x06, 0x08, 0x62};

// The probe opens the port itself: no start-up here.
class Probe : public XcpTest {
 protected:
  void SetUp() override {}
  ProbeFinding Run() { return ProbeForUps(port, clock, 1, settings); }
  ProbeSettings settings;
};

// What each port holds, in one line; the port is let go. Whoever answers,
// the probe sends only what connect sends before it decides on the type
// (never the switch-over of a 281), then the disconnect request, within
// the budgets of two unanswered requests.
TEST(ProbeFinding, WhatEachPortHoldsInOneLine) {
  using enum ProbeFinding::Kind;
  const auto unit = [](std::uint16_t type, std::pair<std::uint8_t, std::uint8_t> cpu2 = {1, 3}) {
    return [=](FakePort& port, ScriptedUps& ups) {
      ups.BeUnit({type}, {{1, 3}, cpu2});
      ups.Attach(port);
    };
  };
  // What the port says when it cannot be opened (a holder named by its PID: cli_e2e_test.cpp).
  const auto holder = [](int number, const std::string& reason) {
    return [=](FakePort& port, ScriptedUps&) {
      port.openError = number;
      port.openWhy = {number, "/dev/fake1", reason, "", 0, ""};
    };
  };
  const struct {
    const char* what;
    std::function<void(FakePort&, ScriptedUps&)> line;
    ProbeFinding::Kind kind;
    std::string text;
  } cases[] = {
      {"a type 290", unit(290), kUps, "UPS type 290 (processor 1: 1.03, processor 2: 1.03)"},
      {"a 290 connect would refuse", unit(290, {1, 2}), kUps,
       "UPS type 290 (processor 1: 1.03, processor 2: 1.02)"},
      {"a 281", unit(281), kUps, "UPS type 281 (processor 1: 1.03, processor 2: 1.03)"},
      {"a silent line", [](FakePort&, ScriptedUps&) {}, kNoAnswer, "no answer"},
      {"garbage",
       [](FakePort& port, ScriptedUps&) {
         port.AnswerEach([](const Bytes&) { return Bytes{'l', 'o', 'g', 'i', 'n', ':', ' '}; });
       },
       kNotUps, "not a UPS: no identification in the 91 bytes it sent"},
      {"an identification block cut short",
       [](FakePort& port, ScriptedUps& ups) {
         ups.answers[0xA0] = {Block(1, {0x02, 0x03, 0x01})};
         ups.Attach(port);
       },
       kNotUps, "not a UPS: 9 Subscript out of range 9"},
      {"an identification without its type block",
       [](FakePort& port, ScriptedUps& ups) {
         ups.BeUnit({}, {{0x01, 0x03}});
         ups.Attach(port);
       },
       kNotUps, "not a UPS: no type block"},
      {"type code 1", unit(1), kNotUps, "not a UPS: it gives type code 1"},
      {"a type code above 32767", unit(0x8001), kNotUps, "not a UPS: 6 Overflow"},
      {"a holder that is not known", holder(kErrPortAlreadyOpen, "/dev/fake1 is in use by another program"),
       kHeld, "held by another program"},
      {"a port that cannot be opened",
       holder(kErrDeviceNotOpen, "/dev/fake1 cannot be opened: Permission denied"), kCannotOpen,
       "cannot be opened: /dev/fake1 cannot be opened: Permission denied"},
  };
  for (const auto& c : cases) {
    VirtualClock clock;
    FakePort port(clock);
    ScriptedUps ups;
    c.line(port, ups);
    const ProbeFinding finding = ProbeForUps(port, clock, 1, ProbeSettings{});
    EXPECT_EQ(finding.kind, c.kind) << c.what;
    EXPECT_EQ(finding.Text(), c.text) << c.what;
    EXPECT_FALSE(port.IsOpen()) << c.what;
    EXPECT_LT(clock.Now() - VirtualClock().Now(), 17.0) << c.what;
    if (c.kind == kHeld || c.kind == kCannotOpen) {
      EXPECT_TRUE(port.writes.empty()) << c.what;
      EXPECT_THAT(finding.why, StartsWith("/dev/fake1 ")) << c.what;
    } else if (c.kind == kUps) {
      EXPECT_THAT(port.Written(), ElementsAre(BuildRequestFrame(kAuthorization), BuildRequestFrame({0xA0}),
                                              BuildRequestFrame({0x36}), BuildRequestFrame({0xFF})))
          << c.what;
    } else {
      ASSERT_FALSE(port.writes.empty()) << c.what;
      EXPECT_EQ(port.writes.back().bytes, BuildRequestFrame({0xFF})) << c.what;
    }
  }
}

TEST_F(Probe, AsksAtTheSamePaceAsConnect) {
  ASSERT_FALSE(StartUp(xcp).portFailure);
  settings.accessCode = AccessCode{0x01, 0x02, 0x03};
  xcp.SetAccessCode(*settings.accessCode);
  Unit(292);
  const double connectStart = clock.Now();
  xcp.ConnectUps();
  xcp.ClosePort();
  std::vector<struct FakePort::Write> connect;
  for (const auto& w : port.writes) {
    if (w.bytes == BuildRequestFrame(kLinkStart)) break;
    connect.push_back({w.at - connectStart, w.bytes});
  }
  ASSERT_EQ(connect.size(), 3u);
  port.writes.clear();
  ups = ScriptedUps{};
  Unit(292);
  const double probeStart = clock.Now();
  Run();
  ASSERT_EQ(port.writes.size(), connect.size() + 1);
  for (std::size_t k = 0; k < connect.size(); ++k) {
    EXPECT_EQ(port.writes[k].bytes, connect[k].bytes) << k;
    EXPECT_NEAR(port.writes[k].at - probeStart, connect[k].at, 1e-6) << k;
  }
  EXPECT_THAT(ups.requests,
              ElementsAre(Bytes{0xCF, 0x01, 0x02, 0x03}, Bytes{0xA0}, Bytes{0x36}, Bytes{0xFF}));
}

TEST_F(Probe, AStopEndsItAtThePauseAndStillSaysGoodbye) {
  Unit(290);
  const double start = clock.Now();
  settings.stopRequested = [&] { return clock.Now() - start > 1.2; };
  const ProbeFinding finding = Run();
  EXPECT_EQ(finding.kind, ProbeFinding::Kind::kStopped);
  EXPECT_EQ(finding.Text(), "stopped");
  // The identification request went out, the type block request did not.
  EXPECT_THAT(ups.requests, ElementsAre(kAuthorization, Bytes{0xA0}, Bytes{0xFF}));
  EXPECT_LT(clock.Now() - start, 2.5);
  EXPECT_FALSE(port.IsOpen());
}

// Each probe waits until all of them have started: run one after the other,
// they would give up.
TEST(ScanSideBySide, ProbesEveryPortAtOnceAndKeepsTheirOrder) {
  std::vector<ScanTarget> targets;
  for (int k = 1; k <= 8; ++k) targets.push_back({k, "/dev/fake" + std::to_string(k)});
  std::mutex mutex;
  std::condition_variable arrived;
  int started = 0;
  const auto lines = ScanSideBySide(targets, [&](const ScanTarget& target) {
    std::unique_lock lock(mutex);
    ++started;
    arrived.notify_all();
    const bool together = arrived.wait_for(lock, std::chrono::seconds(10), [&] { return started == 8; });
    ProbeFinding finding;
    finding.kind = together ? ProbeFinding::Kind::kUps : ProbeFinding::Kind::kStopped;
    finding.unit.type = static_cast<std::int16_t>(280 + target.comNumber);
    return finding;
  });
  ASSERT_EQ(lines.size(), 8u);
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(lines[k].target.device, "/dev/fake" + std::to_string(k + 1));
    EXPECT_EQ(lines[k].finding.kind, ProbeFinding::Kind::kUps) << k;
    EXPECT_EQ(lines[k].finding.unit.type, 281 + k);
  }
}

// What it refuses is the rule of `ports` (options_test).
TEST(ScanCommand, TakesTheComMappingsTheBaudTheAccessCodeAndJson) {
  CliOptions options;
  std::string error;
  EXPECT_TRUE(
      ParseCliOptions({"scan", "--json", "--baud", "9600", "--com", "3=/dev/null", "--access-code", "010203"},
                      options, error))
      << error;
}

TEST(ScanReport, OneJsonObjectAndOneLinePerPortWithItsFacts) {
  ProbeFinding ups;
  ups.kind = ProbeFinding::Kind::kUps;
  ups.unit.type = 290;
  ups.unit.versions[0] = FirmwareVersion(0x01, 0x03);
  ups.unit.versions[3] = FirmwareVersion(0x02, 0x10);
  ProbeFinding held;
  held.kind = ProbeFinding::Kind::kHeld;
  held.holderPid = 812;
  held.holderProgram = "mini\"com";
  held.why = "/dev/ttyS1 is in use by process 812";
  ProbeFinding silent;
  const std::vector<ScanLine> lines{
      {{3, "/dev/pts/4"}, ups}, {{2, "/dev/ttyS1"}, held}, {{0, "/dev/ttyACM0"}, silent}};
  std::ostringstream out;
  WriteScanJson(lines, out);
  EXPECT_EQ(out.str(),
            R"j([{"com":3,"device":"/dev/pts/4","found":"ups",)j"
            R"j("text":"UPS type 290 (processor 1: 1.03, processor 4: 2.10)","type":290,)j"
            R"j("versions":{"1":"1.03","4":"2.10"}},)j"
            R"j({"com":2,"device":"/dev/ttyS1","found":"held","text":"held by PID 812 (mini\"com)",)j"
            R"j("pid":812,"program":"mini\"com","why":"/dev/ttyS1 is in use by process 812"},)j"
            R"j({"com":null,"device":"/dev/ttyACM0","found":"no answer","text":"no answer"}])j"
            "\n");

  std::ostringstream text;
  WriteScanLines(lines, text);
  EXPECT_EQ(text.str(),
            "COM3   /dev/pts/4    UPS type 290 (processor 1: 1.03, processor 4: 2.10)\n"
            "COM2   /dev/ttyS1    held by PID 812 (mini\"com)\n"
            "-      /dev/ttyACM0  no answer\n");
  EXPECT_TRUE(FoundUps(lines));
  EXPECT_FALSE(FoundUps({lines[1], lines[2]}));
}

}  // namespace
}  // namespace kbx::test
