// Faults that only a real serial line shows, on a real pseudo-terminal:
// `kbx` sessions against the simulated UPS while the device vanishes, an
// acknowledgement comes after the program gave up, or the line garbles the
// answers. Each test checks the board lines and how long the session takes by
// the exchange rules (500 ms after every write; a read lasts one quiet 600 ms
// window plus 200 ms, longer while bytes keep arriving), and that nothing of
// the configuration is written twice. The exchange's rules themselves are
// proved on the in-memory port, the real port's buffer and flush by the
// platform's tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cli/kbx_cli.h"
#include "sim/pty_simulator.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using ::testing::ElementsAreArray;

// A plain `kbx connect`: authorization, link start and disconnect are written
// without reading (0.5 s each), identification and type block are asked for
// (0.5 s + 0.8 s each), plus the fixed waits of connect (0.35 s, and 0.5 s
// after the authorization) and disconnect (1.1 s).
constexpr double kPlainConnectSeconds = 6.05;
// What a session may take beyond its reckoning: scheduling, port handling.
constexpr double kSlackSeconds = 1.5;
const std::vector<std::string> kPlainConnect{"Connecting...", "UPS Found", "Done", "Disconnecting...",
                                             "Done"};

class LineFault : public ::testing::Test {
 protected:
  // Serves a unit with the line `faults`.
  void Serve() {
    sim_ = std::make_unique<PtySimulator>(unit, std::string(), 5, faults);
    sim_->Start();
  }

  // A stable name, in the test's own folder, for a device that comes back on
  // another /dev/pts path.
  void UseLink() {
    link_ = folder_.path + "/ttyUPS";
    sim_->LinkAt(link_);
  }

  // Runs kbx on the device and checks its exit status and that it took at
  // most `seconds` (plus the slack); returns its lines.
  std::vector<std::string> Kbx(std::vector<std::string> args, int status, double seconds) {
    configures_ = configures_ || std::count(args.begin(), args.end(), "modules");
    args.insert(args.begin(), {"--com", "1=" + (link_.empty() ? sim_->SlavePath() : link_)});
    std::ostringstream out, err;
    const auto start = std::chrono::steady_clock::now();
    const int exit = RunKbx(args, out, err, Confirm{});
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const std::string shown =
        ::testing::PrintToString(lines) + "\nstderr: " + err.str() + "\nseconds: " + std::to_string(took);
    EXPECT_EQ(exit, status) << shown;
    EXPECT_LT(took, seconds + kSlackSeconds) << shown;
    return lines;
  }

  // Once the fault is gone, a connect works as ever (and, as TearDown checks, writes nothing).
  void ExpectALaterConnect() {
    sim_->SetLineFaults({});
    EXPECT_EQ(Kbx({"connect"}, 0, kPlainConnectSeconds), kPlainConnect);
  }

  // The module update stopped before the checksum reset that commits it: the
  // unit has the variables it was sent, and runs on no module.
  void ExpectNothingCommitted(int countVariable, int baseTimeVariable, int variablesSent) {
    EXPECT_EQ(sim_->Variable(32), countVariable);
    EXPECT_EQ(sim_->Variable(56), baseTimeVariable);
    EXPECT_EQ(sim_->RamWord(0x0269), 994);
    EXPECT_EQ(sim_->CommittedModuleCount(), 0);
    EXPECT_EQ(sim_->RequestCount(0x78), variablesSent);
  }

  void TearDown() override {
    if (!sim_) return;
    EXPECT_EQ(sim_->Error(), "");
    // The set commands (variable, RAM word, parameter) the unit received.
    std::map<Bytes, int> writes;
    for (const Bytes& request : sim_->Requests())
      if (!request.empty() && (request[0] == 0x78 || request[0] == 0xBD || request[0] == 0x95))
        ++writes[request];
    for (const auto& [request, count] : writes)
      EXPECT_EQ(count, configures_ ? 1 : 0)
          << "written " << count << " times: " << ::testing::PrintToString(request);
    sim_.reset();
  }

  TempFolder folder_;
  std::unique_ptr<PtySimulator> sim_;
  std::string link_;
  bool configures_ = false;  // a session set the module count
  SimOptions unit;
  LineFaults faults;
};

// The adapter is pulled while the module count is written: the first
// variable is acknowledged, the device vanishes on the second. The update
// stops there with its step's line, nothing is committed, and the
// disconnect finds the port gone. Plugged in again, the device answers on
// the same name.
TEST_F(LineFault, TheDeviceVanishesDuringTheModuleUpdateAndComesBack) {
  faults.unplug = {0x78, 2};
  faults.replugAfterMs = -1;  // back only when the test says so
  Serve();
  UseLink();
  // The acknowledgement cannot be read: the read's error line, no
  // acknowledgement, the step's line, and no "Done" for the update. The
  // disconnect cannot send (tag 5), and the port cannot be opened again. Connect
  // 4.5 s, the count variable 1.3 s, the base time written 0.5 s, the
  // disconnect without its write 1.1 s.
  EXPECT_THAT(Kbx({"connect", "modules", "2", "--yes"}, 1, 7.4),
              ElementsAreArray({"Connecting...", "UPS Found", "Done", "Determining KBXs Supported...", "Done",
                                "Updating KBXs...", "8020 Error reading comm device 4", "NO ACK",
                                "Error Setting Battery Base Time", "8020 Error reading comm device 5",
                                "Disconnecting...", "Invalid port number", "Done"}));
  EXPECT_EQ(sim_->FaultUnplugs(), 1);
  // Both variables reached the unit once.
  ExpectNothingCommitted(5, 8328, 2);

  EXPECT_FALSE(std::filesystem::exists(link_));
  sim_->Replug();
  ASSERT_TRUE(std::filesystem::exists(link_));
  ExpectALaterConnect();
}

// The acknowledgement of the module count variable comes 2 s after the
// request, 0.7 s after the program stopped listening for it. The unit has
// taken the value, but the update stops with its line, and nothing is
// committed; the late acknowledgement is discarded, not read as the answer
// to anything else.
TEST_F(LineFault, AnAcknowledgementThatComesAfterTheProgramGaveUp) {
  faults.delay = {0x78, 1};
  faults.delayMs = 2000;
  Serve();
  // Connect 4.5 s, the variable 1.3 s, the disconnect 1.6 s.
  EXPECT_THAT(Kbx({"connect", "modules", "1", "--yes"}, 1, 7.5),
              ElementsAreArray({"Connecting...", "UPS Found", "Done", "Determining KBXs Supported...", "Done",
                                "Updating KBXs...", "Error Setting KBXs", "Disconnecting...", "Done"}));
  ExpectNothingCommitted(3, 994, 1);
  ExpectALaterConnect();
}

// A line that garbles answers without losing them: garbage in front of the
// identification, the type block trickling in a byte at a time, the first
// runtime answer longer than the receive buffer, and noise for 1.5 s behind
// the second. Garbage and the long answer cost one repeated request each; the
// trickle and the noise only a longer read. Connect 6.05 s, the repeated
// identification 1.3 s, the trickle about 3 s, two runtime requests 1.3 s
// each and the noise 1.5 s.
TEST_F(LineFault, AGarblingLineCostsRepeatsAndLongerReadsButNoLine) {
  faults.garbage = {0xA0, 1};
  faults.trickle = {0x36, 1};
  faults.trickleMinMs = 50;
  faults.trickleMaxMs = 250;
  faults.noise = {0x34, 2};
  faults.noiseMs = 1500;
  unit.longAnswer = {0x34, 1};
  Serve();
  EXPECT_THAT(Kbx({"connect", "runtime"}, 0, 14.5),
              ElementsAreArray({"Connecting...", "UPS Found", "Done", "Getting Time Remain...",
                                "9 Subscript out of range 35", "Battery Time Remain:  0:30:00", "Done",
                                "Disconnecting...", "Done"}));
  EXPECT_EQ(std::tuple(sim_->RequestCount(0xA0), sim_->RequestCount(0x36), sim_->RequestCount(0x34)),
            std::tuple(2, 1, 2));
}

}  // namespace
}  // namespace kbx
