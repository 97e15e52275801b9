// Faults that only a real serial line shows, on a real pseudo-terminal: `kbx`
// sessions against the simulated UPS while the line garbles the answers, an
// acknowledgement comes after the program gave up, or the device vanishes.
// Each session's board lines and how long it takes by the exchange rules
// (500 ms after every write; a read lasts one quiet 600 ms window plus
// 200 ms, longer while bytes keep arriving), and that nothing of the
// configuration is written twice. The exchange's rules themselves are proved
// on the in-memory port, the real port's buffer and flush by the platform's
// tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
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

// Runs kbx on `device` and checks its exit status and that it took at most
// `seconds` (plus 1.5 s for scheduling and port handling); returns its lines.
std::vector<std::string> Kbx(const std::string& device, std::vector<std::string> args, int status,
                             double seconds) {
  args.insert(args.begin(), {"--com", "1=" + device});
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
  EXPECT_LT(took, seconds + 1.5) << shown;
  return lines;
}

// The module update stopped before the checksum reset that commits it: the
// unit has the variables it was sent, and runs on no module.
void ExpectNothingCommitted(const PtySimulator& sim, int countVariable, int baseTimeVariable,
                            int variablesSent) {
  EXPECT_EQ(std::tuple(sim.Variable(32), sim.Variable(56), sim.RamWord(0x0269), sim.CommittedModuleCount(),
                       sim.RequestCount(0x78)),
            std::tuple(countVariable, baseTimeVariable, 994, 0, variablesSent));
}

// One unit whose line changes between sessions. First it garbles answers
// without losing them: garbage in front of the identification, the type
// block trickling in a byte at a time, the first runtime answer longer than
// the receive buffer, noise for 1.5 s behind the second. Garbage and the long
// answer cost one repeated request each; the trickle and the noise only a
// longer read (connect 6.05 s, the repeated identification 1.3 s, the
// trickle about 3 s, two runtime requests 1.3 s each and the noise 1.5 s).
// Then the acknowledgement of the module count comes 2 s after the request,
// 0.7 s after the program stopped listening for it: the unit has the value,
// the update stops with its line, and the late acknowledgement is discarded,
// not read as the answer to anything else (connect 4.5 s, the variable
// 1.3 s, the disconnect 1.6 s). Last the adapter is pulled while the base
// time is written: the acknowledgement cannot be read (the read's error line,
// no acknowledgement, the step's line, no "Done" for the update), the
// disconnect cannot send (tag 5) and the port cannot be opened again
// (connect 4.5 s, the count variable 1.3 s, the base time written 0.5 s, the
// disconnect without its write 1.1 s). Plugged in again, the device answers
// on the same name (a stable name for a device that comes back on another
// /dev/pts path), and a plain connect takes its 6.05 s: authorization, link
// start and disconnect written without reading (0.5 s each), identification
// and type block asked for (0.5 s + 0.8 s each), the fixed waits of connect
// (0.35 s, and 0.5 s after the authorization) and disconnect (1.1 s).
TEST(LineFault, GarbledLateAndVanishingAnswers) {
  const TempFolder folder;
  const std::string link = folder.path + "/ttyUPS";
  SimOptions unit;
  unit.longAnswer = {0x34, 1};
  LineFaults faults;
  faults.garbage = {0xA0, 1};
  faults.trickle = {0x36, 1};
  faults.trickleMinMs = 50;
  faults.trickleMaxMs = 250;
  faults.noise = {0x34, 2};
  faults.noiseMs = 1500;
  PtySimulator sim(unit, std::string(), 5, faults);
  sim.Start();
  sim.LinkAt(link);
  EXPECT_THAT(Kbx(link, {"connect", "runtime"}, 0, 14.5),
              ElementsAreArray({"Connecting...", "UPS Found", "Done", "Getting Time Remain...",
                                "9 Subscript out of range 35", "Battery Time Remain:  0:30:00", "Done",
                                "Disconnecting...", "Done"}));
  EXPECT_EQ(std::tuple(sim.RequestCount(0xA0), sim.RequestCount(0x36), sim.RequestCount(0x34)),
            std::tuple(2, 1, 2));

  faults = {};
  faults.delay = {0x78, 1};
  faults.delayMs = 2000;
  sim.SetLineFaults(faults);
  EXPECT_THAT(Kbx(link, {"connect", "modules", "1", "--yes"}, 1, 7.5),
              ElementsAreArray({"Connecting...", "UPS Found", "Done", "Determining KBXs Supported...", "Done",
                                "Updating KBXs...", "Error Setting KBXs", "Disconnecting...", "Done"}));
  ExpectNothingCommitted(sim, 3, 994, 1);

  faults = {};
  faults.unplug = {0x78, 3};
  faults.replugAfterMs = -1;  // back only when the test says so
  sim.SetLineFaults(faults);
  EXPECT_THAT(Kbx(link, {"connect", "modules", "2", "--yes"}, 1, 7.4),
              ElementsAreArray({"Connecting...", "UPS Found", "Done", "Determining KBXs Supported...", "Done",
                                "Updating KBXs...", "8020 Error reading comm device 4", "NO ACK",
                                "Error Setting Battery Base Time", "8020 Error reading comm device 5",
                                "Disconnecting...", "Invalid port number", "Done"}));
  EXPECT_EQ(sim.FaultUnplugs(), 1);
  ExpectNothingCommitted(sim, 5, 8328, 3);  // both variables reached the unit
  EXPECT_FALSE(std::filesystem::exists(link));
  sim.Replug();
  ASSERT_TRUE(std::filesystem::exists(link));
  sim.SetLineFaults({});
  EXPECT_THAT(Kbx(link, {"connect"}, 0, 6.05),
              ElementsAreArray({"Connecting...", "UPS Found", "Done", "Disconnecting...", "Done"}));

  EXPECT_EQ(sim.Error(), "");
  // Each set command (variable, RAM word, parameter) reached the unit once.
  std::map<Bytes, int> writes;
  for (const Bytes& request : sim.Requests())
    if (!request.empty() && (request[0] == 0x78 || request[0] == 0xBD || request[0] == 0x95))
      ++writes[request];
  EXPECT_EQ(writes, (std::map<Bytes, int>{{{0x78, 0x20, 0x03, 0x00}, 1},
                                          {{0x78, 0x20, 0x05, 0x00}, 1},
                                          {{0x78, 0x38, 0x88, 0x20}, 1}}));
}

}  // namespace
}  // namespace kbx
