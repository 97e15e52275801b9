// Faults of a real serial line, on a real pseudo-terminal: `kbx` sessions
// against the simulated UPS while the device vanishes, the line babbles,
// answers trickle, overflow the receive buffer, come late or carry garbage.
// Every test checks the board lines the program gives, how long it takes by
// its own exchange rules, that nothing of the configuration is written twice
// or half written without a line saying so, and, where the fault outlives
// its session, that a later connect works.
//
// The sessions run in real time. The exchange rules that set their length:
// 500 ms after every write; a read lasts one quiet 600 ms window plus 200 ms
// (an answer that comes within the pause after the write is already waiting),
// longer while bytes keep arriving; 5 attempts and 6 writes at most.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCoreApplication>
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

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// A plain `kbx connect`: authorization, link start and disconnect are written
// without reading (0.5 s each), identification and type block are asked for
// (0.5 s + 0.8 s each), plus the fixed waits of connect (0.35 s, and 0.5 s
// after the authorization) and disconnect (1.1 s).
constexpr double kPlainConnectSeconds = 6.05;
// What a session may take beyond its reckoning: scheduling, port handling.
constexpr double kSlackSeconds = 1.5;

// The set commands: variable, RAM word, parameter.
bool IsWrite(const Bytes& request) {
  return !request.empty() && (request[0] == 0x78 || request[0] == 0xBD || request[0] == 0x95);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct Session {
  int status = -1;
  std::vector<std::string> out;
  std::string err;
  double seconds = 0;
};

// `what` names the session's duration in the test's record (--gtest_output=xml).
Session Kbx(const std::string& device, const std::vector<std::string>& commands, const std::string& what) {
  std::vector<std::string> args{"--com", "1=" + device};
  args.insert(args.end(), commands.begin(), commands.end());
  std::ostringstream out, err;
  const auto start = std::chrono::steady_clock::now();
  Session session;
  session.status = RunKbx(args, out, err, Confirm{});
  session.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  session.out = Lines(out.str());
  session.err = err.str();
  ::testing::Test::RecordProperty(what + "_seconds", std::to_string(session.seconds));
  return session;
}

// Whether `lines` holds `wanted` in this order, with nothing between them.
bool HasRun(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
  return std::search(lines.begin(), lines.end(), wanted.begin(), wanted.end()) != lines.end();
}

std::string Show(const Session& session) {
  return ::testing::PrintToString(session.out) + "\nstderr: " + session.err +
         "\nseconds: " + std::to_string(session.seconds);
}

RequestSelector Nth(std::uint8_t command, int occurrence) {
  return {command, occurrence};
}

RequestSelector Every(std::uint8_t command) {
  return {command, 0};
}

class LineFault : public ::testing::Test {
 protected:
  void Serve(SimOptions options, const LineFaults& faults) {
    sim_ = std::make_unique<PtySimulator>(std::move(options), std::string(), 5, faults);
    sim_->Start();
  }

  // The device as the program names it: the link when there is one.
  std::string Device() const { return link_.empty() ? sim_->SlavePath() : link_; }

  // A stable name for a device that comes back on another /dev/pts path; the
  // directory is the test's own, so that parallel tests never share a port
  // (nor the lock file the serial port takes for it).
  void UseLink() {
    char dir[] = "/tmp/kbx_fault_XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    link_ = dir_ + "/ttyUPS";
    sim_->LinkAt(link_);
  }

  void TearDown() override {
    if (sim_) {
      EXPECT_EQ(sim_->Error(), "");
    }
    sim_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  // Every write the unit has received, and how often.
  std::map<Bytes, int> Writes() const {
    std::map<Bytes, int> writes;
    for (const Bytes& request : sim_->Requests())
      if (IsWrite(request)) ++writes[request];
    return writes;
  }

  void ExpectNoWriteTwice() const {
    for (const auto& [request, count] : Writes())
      EXPECT_EQ(count, 1) << "written " << count << " times: " << ::testing::PrintToString(request);
  }

  // Once the fault is gone, a connect works as ever and writes nothing.
  void ExpectALaterConnect() {
    sim_->SetLineFaults({});
    const auto writes = Writes();
    const Session later = Kbx(Device(), {"connect"}, "later_connect");
    EXPECT_EQ(later.status, 0) << Show(later);
    EXPECT_THAT(later.out, ElementsAre("Connecting...", "UPS Found", "Done", "Disconnecting...", "Done"))
        << Show(later);
    EXPECT_LT(later.seconds, kPlainConnectSeconds + kSlackSeconds) << Show(later);
    EXPECT_EQ(Writes(), writes);
  }

  std::unique_ptr<PtySimulator> sim_;
  std::string dir_;
  std::string link_;
};

// The adapter is pulled while the module count is written: the first
// variable is acknowledged, the device vanishes on the second. The update
// stops there with its step's line, nothing is committed, and the
// disconnect finds the port gone. Plugged in again, the device answers on
// the same name.
TEST_F(LineFault, TheDeviceVanishesDuringTheModuleUpdateAndComesBack) {
  LineFaults faults;
  faults.unplug = Nth(0x78, 2);
  faults.replug_after_ms = -1;  // back only when the test says so
  Serve({}, faults);
  UseLink();

  const Session cut = Kbx(Device(), {"connect", "modules", "2", "--yes"}, "fault");
  EXPECT_EQ(cut.status, 1) << Show(cut);
  EXPECT_EQ(sim_->FaultUnplugs(), 1);
  EXPECT_TRUE(HasRun(cut.out, {"Connecting...", "UPS Found", "Done", "Determining KBXs Supported...", "Done",
                               "Updating KBXs..."}))
      << Show(cut);
  // The acknowledgement cannot be read: the read's error line, no
  // acknowledgement, the step's line. No "Done" for the update.
  EXPECT_TRUE(
      HasRun(cut.out, {"8020 Error reading comm device 4", "NO ACK", "Error Setting Battery Base Time"}))
      << Show(cut);
  // The disconnect cannot send, and the port cannot be opened again.
  ASSERT_GE(cut.out.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(cut.out.end() - 3, cut.out.end()),
              ElementsAre("Disconnecting...", "Invalid port number", "Done"))
      << Show(cut);
  EXPECT_EQ(std::count(cut.out.begin(), cut.out.end(), "Done"), 3) << Show(cut);
  // Connect 4.5 s, the count variable 1.3 s, the base time written 0.5 s,
  // the disconnect without its write 1.1 s.
  EXPECT_LT(cut.seconds, 7.4 + kSlackSeconds) << Show(cut);

  // Both variables reached the unit once; the checksum reset that commits
  // them did not, so the unit still runs on no module.
  EXPECT_EQ(sim_->Variable(kModuleCountVariable), 5);
  EXPECT_EQ(sim_->Variable(kBaseTimeVariable), kSimBaseTime[2]);
  EXPECT_EQ(sim_->RamWord(kBaseTimeRamWord), kSimBaseTime[0]);
  EXPECT_EQ(sim_->CommittedModuleCount(), 0);
  EXPECT_EQ(sim_->RequestCount(0x78), 2);
  ExpectNoWriteTwice();

  EXPECT_FALSE(std::filesystem::exists(link_));
  sim_->Replug();
  ASSERT_TRUE(std::filesystem::exists(link_));
  ExpectALaterConnect();
}

// Garbage in front of every answer to the identification request: no answer
// begins with the start byte, so the request is written 6 times and read 5
// times, and the connect finds no UPS.
TEST_F(LineFault, GarbageBeforeTheStartByteFindsNoUps) {
  LineFaults faults;
  faults.garbage = Every(0xA0);
  faults.garbage_bytes = 3;
  Serve({}, faults);

  const Session garbled = Kbx(Device(), {"connect"}, "fault");
  EXPECT_EQ(garbled.status, 1) << Show(garbled);
  EXPECT_THAT(garbled.out, ElementsAre("Connecting...", "NO UPS Found", "Done")) << Show(garbled);
  EXPECT_EQ(sim_->RequestCount(0xA0), 6);
  EXPECT_EQ(sim_->RequestCount(0x36), 1);
  // A plain connect, less link start and disconnect (2.15 s), with 5 reads
  // and 5 writes more for the identification (6.5 s).
  EXPECT_GT(garbled.seconds, 9.5 - 1.0) << Show(garbled);
  EXPECT_LT(garbled.seconds, 9.5 + kSlackSeconds) << Show(garbled);
  EXPECT_TRUE(Writes().empty());

  ExpectALaterConnect();
}

// After answering the identification request the unit keeps sending noise
// for 2 s. The program keeps reading while bytes come (every busy window
// moves its end on) and takes the answer at the front once the line falls
// quiet.
TEST_F(LineFault, ALineThatDoesNotFallQuietIsReadUntilItDoes) {
  LineFaults faults;
  faults.noise = Nth(0xA0, 1);
  faults.noise_ms = 2000;
  faults.noise_gap_ms = 10;  // 200 bytes: the receive buffer does not fill
  Serve({}, faults);

  const Session noisy = Kbx(Device(), {"connect"}, "fault");
  EXPECT_EQ(noisy.status, 0) << Show(noisy);
  EXPECT_THAT(noisy.out, ElementsAre("Connecting...", "UPS Found", "Done", "Disconnecting...", "Done"))
      << Show(noisy);
  EXPECT_EQ(sim_->RequestCount(0xA0), 1);
  EXPECT_TRUE(Writes().empty());
  // A plain connect with the identification read held for the noise.
  EXPECT_GT(noisy.seconds, kPlainConnectSeconds + 2.0 - 0.6) << Show(noisy);
  EXPECT_LT(noisy.seconds, kPlainConnectSeconds + 2.0 + kSlackSeconds) << Show(noisy);
}

// The type block comes one byte at a time, 100 to 300 ms apart, across many
// of the program's 600 ms windows. No window stays quiet, so the program
// reads on and gets the whole answer at the first attempt.
TEST_F(LineFault, AnAnswerTricklingInIsReadAcrossTheWindows) {
  LineFaults faults;
  faults.trickle = Nth(0x36, 1);
  faults.trickle_min_ms = 100;
  faults.trickle_max_ms = 300;
  Serve({}, faults);

  const Session slow = Kbx(Device(), {"connect", "info"}, "fault");
  EXPECT_EQ(slow.status, 0) << Show(slow);
  EXPECT_TRUE(HasRun(slow.out, {"Connecting...", "UPS Found", "Done", "UPS type: 290"})) << Show(slow);
  EXPECT_EQ(sim_->RequestCount(0x36), 1);
  EXPECT_TRUE(Writes().empty());
  // 21 bytes at 200 ms on average: about 4.2 s instead of an answer waiting
  // after the pause.
  EXPECT_GT(slow.seconds, kPlainConnectSeconds + 2.1) << Show(slow);
  EXPECT_LT(slow.seconds, kPlainConnectSeconds + 21 * 0.3 + kSlackSeconds) << Show(slow);
}

// The first identification answer is 1140 bytes long. The receive buffer
// keeps 1024 of them, the decoding runs off its end (error 9, tag 35 of
// the answer's read), and the request is asked again.
TEST_F(LineFault, AnAnswerLongerThanTheReceiveBufferIsAskedAgain) {
  SimOptions options;
  options.long_answer = Nth(0xA0, 1);
  options.long_answer_length = 1100;
  Serve(options, {});

  const Session lengthy = Kbx(Device(), {"connect"}, "fault");
  EXPECT_EQ(lengthy.status, 0) << Show(lengthy);
  EXPECT_THAT(lengthy.out, ElementsAre("Connecting...", "9 Subscript out of range 35", "UPS Found", "Done",
                                       "Disconnecting...", "Done"))
      << Show(lengthy);
  EXPECT_EQ(sim_->RequestCount(0xA0), 2);
  EXPECT_TRUE(Writes().empty());
  // One read and one write more than a plain connect.
  EXPECT_LT(lengthy.seconds, kPlainConnectSeconds + 1.3 + kSlackSeconds) << Show(lengthy);
}

// The acknowledgement of the module count variable comes 2 s after the
// request, 0.7 s after the program stopped listening for it. The unit has
// taken the value, but the update stops with its line, and nothing is
// committed; the late acknowledgement is discarded, not read as the answer
// to anything else.
TEST_F(LineFault, AnAcknowledgementThatComesAfterTheProgramGaveUp) {
  LineFaults faults;
  faults.delay = Nth(0x78, 1);
  faults.delay_ms = 2000;
  Serve({}, faults);

  const Session late = Kbx(Device(), {"connect", "modules", "1", "--yes"}, "fault");
  EXPECT_EQ(late.status, 1) << Show(late);
  EXPECT_THAT(late.out,
              ElementsAreArray({"Connecting...", "UPS Found", "Done", "Determining KBXs Supported...", "Done",
                                "Updating KBXs...", "Error Setting KBXs", "Disconnecting...", "Done"}))
      << Show(late);
  // Connect 4.5 s, the variable 1.3 s, the disconnect 1.6 s.
  EXPECT_LT(late.seconds, 7.5 + kSlackSeconds) << Show(late);
  EXPECT_EQ(sim_->Variable(kModuleCountVariable), 3);
  EXPECT_EQ(sim_->Variable(kBaseTimeVariable), kSimBaseTime[0]);
  EXPECT_EQ(sim_->CommittedModuleCount(), 0);
  EXPECT_EQ(sim_->RequestCount(0x78), 1);
  ExpectNoWriteTwice();

  ExpectALaterConnect();
}

// The acknowledgement of the identification's authorization (written
// without reading) comes 1.6 s late, after the flush before the
// identification request, in front of the identification block. The answer
// is the last response on the line, so the unit is found all the same.
TEST_F(LineFault, ALateAuthorizationAcknowledgementIsNotTakenForTheIdentification) {
  LineFaults faults;
  faults.delay = Nth(0xCF, 1);
  faults.delay_ms = 1600;
  Serve({}, faults);

  const Session slow = Kbx(Device(), {"connect"}, "fault");
  EXPECT_EQ(slow.status, 0) << Show(slow);
  EXPECT_THAT(slow.out, ElementsAre("Connecting...", "UPS Found", "Done", "Disconnecting...", "Done"))
      << Show(slow);
}

}  // namespace
}  // namespace kbx

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
