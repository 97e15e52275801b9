// Faults of a real serial line, on a real pseudo-terminal: `kbx` sessions
// against the simulated UPS while the device vanishes, the line babbles,
// answers trickle, overflow the receive buffer, come late or carry garbage.
// Each test checks the board lines, how long the session takes by the
// exchange rules, that nothing of the configuration is written twice (nor
// anything at all by a session that does not set the module count), and,
// where the fault outlives its session, that a later connect works.
//
// The sessions run in real time. The exchange rules that set their length:
// 500 ms after every write; a read lasts one quiet 600 ms window plus 200 ms
// (an answer that comes within the pause after the write is already waiting),
// longer while bytes keep arriving; 5 attempts and 6 writes at most.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/kbx_cli.h"
#include "sim/pty_simulator.h"

namespace kbx {
namespace {

using ::testing::_;
using ::testing::ElementsAre;
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
  // Serves the unit of `options` with the line `faults`.
  void Serve() {
    sim_ = std::make_unique<PtySimulator>(options, std::string(), 5, faults);
    sim_->Start();
  }

  // A stable name for a device that comes back on another /dev/pts path, in
  // the test's own directory, so that parallel tests never share a port (nor
  // the lock file the serial port takes for it).
  void UseLink() {
    char dir[] = "/tmp/kbx_fault_XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    link_ = dir_ + "/ttyUPS";
    sim_->LinkAt(link_);
  }

  // Runs kbx on the device and checks its exit status and that it took
  // between `minSeconds` and `seconds` (plus the slack); returns its lines.
  // `what` names the duration in the test's record (--gtest_output=xml).
  std::vector<std::string> Kbx(std::vector<std::string> args, int status, double seconds,
                               double minSeconds = 0, const std::string& what = "fault") {
    configures_ = configures_ || std::count(args.begin(), args.end(), "modules");
    args.insert(args.begin(), {"--com", "1=" + (link_.empty() ? sim_->SlavePath() : link_)});
    std::ostringstream out, err;
    const auto start = std::chrono::steady_clock::now();
    const int exit = RunKbx(args, out, err, Confirm{});
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    RecordProperty(what + "_seconds", std::to_string(took));
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const std::string shown =
        ::testing::PrintToString(lines) + "\nstderr: " + err.str() + "\nseconds: " + std::to_string(took);
    EXPECT_EQ(exit, status) << shown;
    EXPECT_GT(took, minSeconds) << shown;
    EXPECT_LT(took, seconds + kSlackSeconds) << shown;
    return lines;
  }

  // Once the fault is gone, a connect works as ever (and, as TearDown checks, writes nothing).
  void ExpectALaterConnect() {
    sim_->SetLineFaults({});
    EXPECT_EQ(Kbx({"connect"}, 0, kPlainConnectSeconds, 0, "later_connect"), kPlainConnect);
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
    if (sim_) {
      EXPECT_EQ(sim_->Error(), "");
      // The set commands (variable, RAM word, parameter) the unit received.
      std::map<Bytes, int> writes;
      for (const Bytes& request : sim_->Requests())
        if (!request.empty() && (request[0] == 0x78 || request[0] == 0xBD || request[0] == 0x95))
          ++writes[request];
      for (const auto& [request, count] : writes)
        EXPECT_EQ(count, configures_ ? 1 : 0)
            << "written " << count << " times: " << ::testing::PrintToString(request);
    }
    sim_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::unique_ptr<PtySimulator> sim_;
  std::string dir_;
  std::string link_;
  bool configures_ = false;  // a session set the module count
  SimOptions options;
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

// Garbage in front of every answer to the identification request: no answer
// begins with the start byte, so the request is written 6 times and read 5
// times, and the connect finds no UPS.
TEST_F(LineFault, GarbageBeforeTheStartByteFindsNoUps) {
  faults.garbage = {0xA0, 0};
  Serve();
  // A plain connect, less link start and disconnect (2.15 s), with 5 reads
  // and 5 writes more for the identification (6.5 s).
  EXPECT_THAT(Kbx({"connect"}, 1, 9.5, 9.5 - 1.0), ElementsAre("Connecting...", "NO UPS Found", "Done"));
  EXPECT_EQ(sim_->RequestCount(0xA0), 6);
  EXPECT_EQ(sim_->RequestCount(0x36), 1);
  ExpectALaterConnect();
}

// After answering the identification request the unit sends noise for 2 s
// (200 bytes: the receive buffer does not fill). Every busy window moves the
// read's end on; the answer at the front is taken once the line falls quiet.
TEST_F(LineFault, ALineThatDoesNotFallQuietIsReadUntilItDoes) {
  faults.noise = {0xA0, 1};
  faults.noiseMs = 2000;
  Serve();
  EXPECT_EQ(Kbx({"connect"}, 0, kPlainConnectSeconds + 2.0, kPlainConnectSeconds + 2.0 - 0.6), kPlainConnect);
  EXPECT_EQ(sim_->RequestCount(0xA0), 1);
}

// The unit answers the identification request, then its line brings a byte
// every 0.55 s for three minutes, which holds back every later answer. Each
// of the two requests of the connect ends with its 15 s budget and is
// written once more, as for no answer.
TEST_F(LineFault, ABabblingLineEndsTheConnectWithinItsBudgets) {
  faults.noise = {0xA0, 1};
  faults.noiseMs = 180000;
  faults.noiseGapMs = 550;
  Serve();
  EXPECT_THAT(Kbx({"connect"}, 1, 34.5, 30.0), ElementsAre("Connecting...", "NO UPS Found", "Done"));
  EXPECT_EQ(sim_->RequestCount(0x36), 2);
}

// The type block comes one byte at a time, 100 to 300 ms apart, across many
// of the program's 600 ms windows. No window stays quiet, so the program
// reads on and gets the whole answer at the first attempt: 21 bytes at
// 200 ms on average, about 4.2 s instead of an answer waiting after the pause.
TEST_F(LineFault, AnAnswerTricklingInIsReadAcrossTheWindows) {
  faults.trickle = {0x36, 1};
  faults.trickleMinMs = 100;
  faults.trickleMaxMs = 300;
  Serve();
  EXPECT_THAT(Kbx({"connect", "info"}, 0, kPlainConnectSeconds + 21 * 0.3, kPlainConnectSeconds + 2.1),
              ElementsAre("Connecting...", "UPS Found", "Done", "UPS type: 290", _, _, _, _,
                          "Disconnecting...", "Done"));
  EXPECT_EQ(sim_->RequestCount(0x36), 1);
}

// The first identification answer is 1140 bytes long. The receive buffer
// keeps 1024 of them, the decoding runs off its end (error 9, tag 35 of the
// answer's read), and the request is asked again: one read and one write
// more than a plain connect.
TEST_F(LineFault, AnAnswerLongerThanTheReceiveBufferIsAskedAgain) {
  options.longAnswer = {0xA0, 1};
  options.longAnswerLength = 1100;
  Serve();
  EXPECT_THAT(Kbx({"connect"}, 0, kPlainConnectSeconds + 1.3),
              ElementsAre("Connecting...", "9 Subscript out of range 35", "UPS Found", "Done",
                          "Disconnecting...", "Done"));
  EXPECT_EQ(sim_->RequestCount(0xA0), 2);
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

// The acknowledgement of the identification's authorization (written
// without reading) comes 1.6 s late, after the flush before the
// identification request, in front of the identification block. The answer
// is the last response on the line, so the unit is found all the same.
TEST_F(LineFault, ALateAuthorizationAcknowledgementIsNotTakenForTheIdentification) {
  faults.delay = {0xCF, 1};
  faults.delayMs = 1600;
  Serve();
  EXPECT_EQ(Kbx({"connect"}, 0, kPlainConnectSeconds + 1.6), kPlainConnect);
}

}  // namespace
}  // namespace kbx
