// kbx over RFC 2217 through a real ser2net on loopback, in front of the
// simulator's pseudo-terminal: the serial server a technician meets in a
// server room; and kbx-ups-sim --listen, the simulator serving on the network
// itself. Raw TCP and the servers' other answers are the network port's own
// test. Each run takes seconds of real time: `make test-e2e`.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/processes.h"
#include "support/ser2net.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using ::testing::AllOf;
using ::testing::Each;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// kbx on COM3 named `address`.
test::ProgramRun Kbx(const std::string& address, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {KBX_BIN, "--port", "3", "--com", "3=" + address});
  return test::RunProgram(arguments);
}

// The same board and the same frames as on the simulator's own terminal; the
// line the frames arrive on is the program's 19200,N,8,1, not the 9600 baud
// and 2 stop bits ser2net started it at.
TEST(ThroughSer2net, AWholeSessionReadsAsOnALocalPort) {
  if (test::Ser2netProgram().empty()) GTEST_SKIP() << "ser2net is not installed (make deps installs it)";
  const TempFolder temp;
  std::vector<std::string> session = {"connect", "runtime", "modules", "2", "--yes", "runtime"};
  test::ProgramRun local;
  std::vector<std::vector<std::uint8_t>> localRequests;
  {
    test::SimulatorProcess ups(KBX_SIM_BIN, temp.path + "/local.log", {"--type", "290"});
    local = Kbx(ups.Device(), session);
    localRequests = test::RequestsInLog(temp.path + "/local.log");
  }
  ASSERT_EQ(local.status, 0) << local.err;

  const std::string log = temp.path + "/network.log";
  test::SimulatorProcess ups(KBX_SIM_BIN, log, {"--type", "290"});
  test::Ser2net server(test::Ser2netProgram(), temp.path, ups.Device());
  session.insert(session.begin(), {"--trace", temp.path + "/trace"});
  const test::ProgramRun network = Kbx(server.Address("rfc2217"), session);
  EXPECT_EQ(network.status, 0) << network.err;
  EXPECT_EQ(network.out, local.out);
  EXPECT_EQ(test::RequestsInLog(log), localRequests);
  EXPECT_THAT(test::Lines(ReadFile(log)), AllOf(Not(IsEmpty()), Each(EndsWith(" | 19200,N,8,1"))));
  EXPECT_THAT(ReadFile(temp.path + "/trace"), HasSubstr("open COM3 (" + server.Address("rfc2217") +
                                                        ") 19200,N,8,1, the server confirmed 19200,N,8,1"));
}

// kbx-ups-sim --listen serves the unit on loopback itself, as a serial server
// would: a session works and the line takes the program's settings.
TEST(ListeningSimulator, ServesOnTheNetworkItself) {
  const TempFolder temp;
  const std::string log = temp.path + "/sim.log";
  test::SimulatorProcess ups(KBX_SIM_BIN, log, {"--type", "290", "--listen", "rfc2217:0"});
  ASSERT_THAT(ups.Device(), testing::StartsWith("rfc2217://127.0.0.1:"));
  const test::ProgramRun session = Kbx(ups.Device(), {"--baud", "9600", "connect", "runtime"});
  EXPECT_EQ(session.status, 0) << session.err;
  EXPECT_THAT(session.out, HasSubstr("UPS Found"));
  EXPECT_THAT(session.out, HasSubstr("Battery Time Remain:  0:30:00"));
  EXPECT_THAT(test::Lines(ReadFile(log)), AllOf(Not(IsEmpty()), Each(EndsWith(" | 9600,N,8,1"))));
}

}  // namespace
}  // namespace kbx
