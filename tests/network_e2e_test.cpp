// kbx through a real ser2net on loopback, in front of the simulator's
// pseudo-terminal: the serial server a technician meets in a server room.
// Each run takes seconds of real time: `make test-e2e`.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/processes.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using ::testing::Each;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::vector<std::string> kSession = {"connect", "runtime", "modules", "2", "--yes", "runtime"};

std::string Ser2netProgram() {
  for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

// A descriptor connected to 127.0.0.1:port; -1 when nothing answers there.
int ConnectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  ::close(fd);
  return -1;
}

// A loopback port nobody listens on now.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

// ser2net in the foreground with a configuration of the test's own: an
// RFC 2217 port whose line starts at 9600 baud with 2 stop bits, and a raw
// TCP port set up at 19200,N,8,1, both in front of `device`.
class Ser2net {
 public:
  Ser2net(const std::string& program, const std::string& folder, const std::string& device)
      : rfc2217Port_(FreePort()), tcpPort_(FreePort()) {
    const std::string config = folder + "/ser2net.yaml";
    std::ofstream(config) << "connection: &rfc2217\n"
                          << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << rfc2217Port_ << "\n"
                          << "  connector: serialdev(nouucplock)," << device << ",9600n82,local\n"
                          << "connection: &tcp\n"
                          << "  accepter: tcp,127.0.0.1," << tcpPort_ << "\n"
                          << "  connector: serialdev(nouucplock)," << device << ",19200n81,local\n";
    test::Streams streams;
    streams.stdoutPath = folder + "/ser2net.out";
    streams.stderrPath = folder + "/ser2net.err";
    pid_ = test::Spawn({program, "-n", "-d", "-c", config}, streams);
    // Listening once a connection is taken; this one goes at once.
    for (int tries = 0; tries < 500; ++tries) {
      const int fd = ConnectTo(tcpPort_);
      if (fd >= 0) {
        ::close(fd);
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
  }
  ~Ser2net() { Stop(); }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    test::Wait(pid_);
    pid_ = 0;
  }
  std::string Address(const std::string& kind) const {
    return kind + "://127.0.0.1:" + std::to_string(kind == "rfc2217" ? rfc2217Port_ : tcpPort_);
  }
  int Port(const std::string& kind) const { return kind == "rfc2217" ? rfc2217Port_ : tcpPort_; }

 private:
  int rfc2217Port_;
  int tcpPort_;
  pid_t pid_ = 0;
};

class ThroughSer2net : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (Ser2netProgram().empty()) GTEST_SKIP() << "ser2net is not installed (make deps installs it)";
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
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::ReadWholeFile(streams.stdoutPath),
            test::ReadWholeFile(streams.stderrPath)};
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
  Ser2net server(Ser2netProgram(), temp.path, ups.Device());
  std::vector<std::string> traced = kSession;
  traced.insert(traced.begin(), {"--trace", temp.path + "/trace"});
  const Run network = Kbx(server.Address(Kind()), traced);
  EXPECT_EQ(network.status, 0) << network.err;
  EXPECT_EQ(network.out, local.out);
  EXPECT_EQ(test::RequestsInLog(log), localRequests);

  std::vector<std::string> lines = test::Lines(test::ReadWholeFile(log));
  ASSERT_FALSE(lines.empty());
  EXPECT_THAT(lines, Each(EndsWith(" | 19200,N,8,1")));
  const std::string trace = test::ReadWholeFile(temp.path + "/trace");
  EXPECT_THAT(trace, HasSubstr("open COM3 (" + server.Address(Kind()) + ") 19200,N,8,1"));
  if (Kind() == "rfc2217") {
    EXPECT_THAT(trace, HasSubstr(", the server confirmed 19200,N,8,1"));
  }
}

TEST_P(ThroughSer2net, ASecondClientIsTurnedAwayWithTheServersWords) {
  test::SimulatorProcess ups(KBX_SIM_BIN, temp.path + "/sim.log", {"--type", "290"});
  Ser2net server(Ser2netProgram(), temp.path, ups.Device());
  const int first = ConnectTo(server.Port(Kind()));
  ASSERT_GE(first, 0);
  std::this_thread::sleep_for(200ms);
  const Run second = Kbx(server.Address(Kind()), {"connect"});
  ::close(first);
  EXPECT_EQ(second.status, 1);
  EXPECT_THAT(second.out, HasSubstr("Port already open"));
  EXPECT_THAT(second.err,
              HasSubstr(server.Address(Kind()) + " turned the connection away: Port already in use"));
}

TEST_P(ThroughSer2net, AServerThatIsNotThereCannotBeReached) {
  const std::string address = Kind() + "://127.0.0.1:" + std::to_string(FreePort());
  const Run run = Kbx(address, {"connect"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, HasSubstr("Unable to open port"));
  EXPECT_THAT(run.err, HasSubstr(address + " cannot be reached: "));
}

// The server goes away after the identification: the rest of the session
// reads like a device that vanished.
TEST_P(ThroughSer2net, AServerThatGoesAwayMidSessionReadsLikeAVanishedDevice) {
  const std::string log = temp.path + "/sim.log";
  test::SimulatorProcess ups(KBX_SIM_BIN, log, {"--type", "290"});
  auto server = std::make_unique<Ser2net>(Ser2netProgram(), temp.path, ups.Device());
  test::Streams streams;
  streams.stdoutPath = temp.path + "/out";
  streams.stderrPath = temp.path + "/err";
  const pid_t kbx = test::Spawn({KBX_BIN, "--port", "3", "--com", "3=" + server->Address(Kind()), "connect",
                                 "runtime", "modules", "2", "--yes", "runtime"},
                                streams);
  // The runtime reading asks for meter 36 first (78 ...) after the identification.
  ASSERT_TRUE(test::AwaitRequest(log, 0x78) || test::AwaitRequest(log, 0x90));
  server->Stop();
  const int status = test::Wait(kbx);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  const std::string out = test::ReadWholeFile(streams.stdoutPath);
  EXPECT_THAT(out, testing::AnyOf(HasSubstr("8020 Error reading comm device"),
                                  HasSubstr("8021 Error writing comm device")));
}

INSTANTIATE_TEST_SUITE_P(BothKinds, ThroughSer2net, ::testing::Values("rfc2217", "tcp"));

}  // namespace
}  // namespace kbx
