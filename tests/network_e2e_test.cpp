// kbx through a real ser2net on loopback, in front of the simulator's
// pseudo-terminal: the serial server a technician meets in a server room. A
// server that turns a second client away is kbx-ups-sim --listen (below) and
// the network port's own test; what ser2net says then is ser2net's.
// Each run takes seconds of real time: `make test-e2e`.
#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/processes.h"
#include "support/ser2net.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using ::testing::Each;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::vector<std::string> kSession = {"connect", "runtime", "modules", "2", "--yes", "runtime"};

class ThroughSer2net : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (test::Ser2netProgram().empty()) GTEST_SKIP() << "ser2net is not installed (make deps installs it)";
  }

  // kbx on COM3 named `address`; its exit status, output and errors.
  struct Run {
    int status = -1;
    std::string out;
    std::string err;
  };
  Run Kbx(const std::string& address, std::vector<std::string> arguments) {
    std::vector<std::string> args{KBX_BIN, "--port", "3", "--com", "3=" + address};
    args.insert(args.end(), arguments.begin(), arguments.end());
    test::Streams streams;
    streams.stdoutPath = temp.path + "/out";
    streams.stderrPath = temp.path + "/err";
    const int status = test::Wait(test::Spawn(args, streams));
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(streams.stdoutPath),
            ReadFile(streams.stderrPath)};
  }
  std::string Kind() const { return GetParam(); }

  TempFolder temp;
};

// The same board and the same frames as on the simulator's own terminal;
// over RFC 2217 the line the frames arrive on is the program's 19200,N,8,1,
// not the 9600 baud and 2 stop bits ser2net started it at.
TEST_P(ThroughSer2net, AWholeSessionReadsAsOnALocalPort) {
  Run local;
  std::vector<std::vector<std::uint8_t>> localRequests;
  {
    test::SimulatorProcess ups(KBX_SIM_BIN, temp.path + "/local.log", {"--type", "290"});
    local = Kbx(ups.Device(), kSession);
    localRequests = test::RequestsInLog(temp.path + "/local.log");
  }
  ASSERT_EQ(local.status, 0) << local.err;

  const std::string log = temp.path + "/network.log";
  test::SimulatorProcess ups(KBX_SIM_BIN, log, {"--type", "290"});
  test::Ser2net server(test::Ser2netProgram(), temp.path, ups.Device());
  std::vector<std::string> traced = kSession;
  traced.insert(traced.begin(), {"--trace", temp.path + "/trace"});
  const Run network = Kbx(server.Address(Kind()), traced);
  EXPECT_EQ(network.status, 0) << network.err;
  EXPECT_EQ(network.out, local.out);
  EXPECT_EQ(test::RequestsInLog(log), localRequests);

  std::vector<std::string> lines = test::Lines(ReadFile(log));
  ASSERT_FALSE(lines.empty());
  EXPECT_THAT(lines, Each(EndsWith(" | 19200,N,8,1")));
  const std::string trace = ReadFile(temp.path + "/trace");
  EXPECT_THAT(trace, HasSubstr("open COM3 (" + server.Address(Kind()) + ") 19200,N,8,1"));
  if (Kind() == "rfc2217") {
    EXPECT_THAT(trace, HasSubstr(", the server confirmed 19200,N,8,1"));
  }
}

// kbx-ups-sim --listen serves the unit on loopback itself, as a serial server
// would: a session works, the line takes the program's settings over RFC
// 2217, and a second client is turned away while the first has the line.
// Needs no ser2net.
class ListeningSimulator : public ThroughSer2net {
 protected:
  void SetUp() override {}
};

TEST_P(ListeningSimulator, ServesOnTheNetworkItself) {
  const std::string log = temp.path + "/sim.log";
  test::SimulatorProcess ups(KBX_SIM_BIN, log, {"--type", "290", "--listen", Kind() + ":0"});
  ASSERT_THAT(ups.Device(), testing::StartsWith(Kind() + "://127.0.0.1:"));
  const Run session = Kbx(ups.Device(), {"--baud", "9600", "connect", "runtime"});
  EXPECT_EQ(session.status, 0) << session.err;
  EXPECT_THAT(session.out, HasSubstr("UPS Found"));
  EXPECT_THAT(session.out, HasSubstr("Battery Time Remain:  0:30:00"));
  const std::vector<std::string> lines = test::Lines(ReadFile(log));
  ASSERT_FALSE(lines.empty());
  if (Kind() == "rfc2217") {
    EXPECT_THAT(lines, Each(EndsWith(" | 9600,N,8,1")));
  }

  // While a first client has the line, kbx is turned away with the server's
  // words: over telnet they are lost when the server closes before telnet is
  // set up; over raw TCP they always come.
  const int first = test::ConnectTo(std::stoi(ups.Device().substr(ups.Device().rfind(':') + 1)));
  ASSERT_GE(first, 0);
  std::this_thread::sleep_for(200ms);
  const Run second = Kbx(ups.Device(), {"connect"});
  ::close(first);
  EXPECT_EQ(second.status, 1);
  EXPECT_THAT(second.out, HasSubstr("Port already open"));
  EXPECT_THAT(second.err, HasSubstr(ups.Device() + " turned the connection away" +
                                    (Kind() == "tcp" ? ": Port already in use" : "")));
}

INSTANTIATE_TEST_SUITE_P(BothKinds, ThroughSer2net, ::testing::Values("rfc2217", "tcp"));
INSTANTIATE_TEST_SUITE_P(BothKinds, ListeningSimulator, ::testing::Values("rfc2217", "tcp"));

}  // namespace
}  // namespace kbx
