// The network port against the simulator's serial server (kbx-ups-sim
// --listen) on loopback in this process, served on a thread of its own as a
// server on another machine would be.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/mapped_port.h"
#include "platform/network_line.h"
#include "platform/network_port.h"
#include "platform/port_address.h"
#include "platform/port_map.h"
#include "platform/run_time_error.h"
#include "support/port_errors.h"
#include "support/ser2net.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using test::ThrownNumber;
using test::WhyOpenFails;
using testing::HasSubstr;

constexpr int kCom = 4;
const Bytes kRequest = {0xAB, 0x01, 0xA0, 0xB4};
const Bytes kAnswer = {0xAB, 0x09, 0x01, 0x81, 0x31, 0x99};

// Waits up to five seconds, in steps of 5 ms, until `done` says so.
template <typename Done>
bool WaitFor(Done done) {
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5); !done();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// What `call` gives while a thread of its own serves `server`; the test
// serves it itself before and after.
template <typename Call>
auto WhileServed(NetworkLine& server, Call call) {
  const std::jthread serving([&server](const std::stop_token& stop) {
    while (!stop.stop_requested()) server.Read(5);
  });
  return call();
}

PortRequest Request(const LineSettings& settings = {19200, 'N', 8, 2}) {
  PortRequest request;
  request.commPort = kCom;
  request.settings = settings;
  request.rtsEnable = true;
  request.dtrEnable = true;
  return request;
}

using NetworkPortTest = testing::TestWithParam<const char*>;

// Through the mapped port, as the programs open it: the line settings, bytes
// both ways and no lock file; the server goes away: reading fails with 8020,
// writing with 8021; the next open connects anew and keeps no more received
// than its buffer holds; a device number goes to the terminal port again.
TEST_P(NetworkPortTest, CarriesBytesBothWaysUntilTheConnectionIsLost) {
  NetworkLine server(GetParam(), 0);
  PortMap ports;
  ports.Map(kCom, server.Address());
  const TempFolder locks;
  MappedPort port(ports, locks.path);
  WhileServed(server, [&] { port.Open(Request({2400, 'E', 7, 4})); });
  ASSERT_TRUE(port.IsOpen());
  // Over RFC 2217 the server's line takes the settings, and the server confirms them.
  const bool rfc2217 = GetParam() == std::string("rfc2217");
  EXPECT_EQ(server.LineInForce(), rfc2217 ? "2400,E,7,2" : "");
  EXPECT_EQ(port.Describe().confirmed, rfc2217 ? std::optional(LineSettings{2400, 'E', 7, 4}) : std::nullopt);
  EXPECT_EQ(port.Describe().settings, (LineSettings{2400, 'E', 7, 4}));
  EXPECT_EQ(port.Describe().device, server.Address());
  EXPECT_TRUE(std::filesystem::is_empty(locks.path));
  port.Write(kRequest);
  EXPECT_EQ(port.PendingOutput(), 0);
  EXPECT_EQ(server.Read(1000), kRequest);
  server.Write(kAnswer);
  EXPECT_TRUE(WaitFor([&] { return port.BytesWaiting() == static_cast<int>(kAnswer.size()); }));
  EXPECT_EQ(port.ReadAll(), kAnswer);
  EXPECT_EQ(port.BytesWaiting(), 0);

  server.Close();
  EXPECT_TRUE(WaitFor([&] { return ThrownNumber([&] { port.BytesWaiting(); }) == kErrReadDevice; }));
  EXPECT_EQ(ThrownNumber([&] { port.Write(kRequest); }), kErrWriteDevice);
  port.Close();
  EXPECT_FALSE(port.IsOpen());

  NetworkLine next(GetParam(), 0);
  ports.Map(kCom, next.Address());
  // What finds no room in a receive buffer of four bytes is lost.
  PortRequest small = Request();
  small.inBufferSize = 4;
  WhileServed(next, [&] { port.Open(small); });
  port.Write(kRequest);
  EXPECT_EQ(next.Read(1000), kRequest);
  next.Write(kAnswer);
  EXPECT_TRUE(WaitFor([&] { return port.BytesWaiting() >= 4; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the rest has come, or never will
  EXPECT_EQ(port.ReadAll(), Bytes(kAnswer.begin(), kAnswer.begin() + 4));
  port.Close();

  ports.Map(kCom, "/dev/kbx-test-no-such-device");
  const PortFailure local = WhyOpenFails(port, Request());
  EXPECT_EQ(std::tie(local.number, local.reason),
            std::tuple(kErrInvalidPortNumber, "COM4 is /dev/kbx-test-no-such-device, which does not exist"));
}

// A server that has its line given to another client turns the next away
// with its words, which over telnet go with the connection before it is set
// up. Over raw TCP the turning away is seen only within the open's short
// watch of a new connection, which a busy machine may let pass before the
// server's words come: one of three opens must see it.
TEST_P(NetworkPortTest, AServerWhoseLineIsTakenTurnsTheConnectionAway) {
  NetworkLine server(GetParam(), 0);
  PortMap ports;
  ports.Map(kCom, server.Address());
  NetworkPort port(ports);
  const int first = test::ConnectTo(server.Port());
  ASSERT_GE(first, 0);
  const PortFailure why = WhileServed(server, [&] {
    PortFailure result = WhyOpenFails(port, Request());
    for (int attempt = 1; attempt < 3 && result.number == 0; ++attempt) {
      port.Close();
      result = WhyOpenFails(port, Request());
    }
    return result;
  });
  ::close(first);
  EXPECT_EQ(why.number, kErrPortAlreadyOpen);
  EXPECT_THAT(why.reason, HasSubstr(server.Address() + " turned the connection away" +
                                    (GetParam() == std::string("tcp") ? ": Port already in use" : "")));
}

INSTANTIATE_TEST_SUITE_P(BothKinds, NetworkPortTest, testing::Values("rfc2217", "tcp"));

// Why an open fails, by number and in words: a host that cannot be found is
// 8002, a port where nothing listens 8012.
TEST(Rfc2217Test, AFailingOpenGivesItsNumberAndWhy) {
  const std::string nowhere = "rfc2217://127.0.0.1:" + std::to_string(test::FreePort());
  for (const auto& [address, number, reason] : std::vector<std::tuple<std::string, int, std::string>>{
           {"rfc2217://kbx-no-such-host.invalid:7001", kErrInvalidPortNumber,
            "the host kbx-no-such-host.invalid of rfc2217://kbx-no-such-host.invalid:7001 cannot be found: "},
           {nowhere, kErrDeviceNotOpen, nowhere + " cannot be reached: "}}) {
    PortMap ports;
    ports.Map(kCom, address);
    NetworkPort port(ports);
    const PortFailure why = WhyOpenFails(port, Request());
    EXPECT_EQ(why.number, number) << address;
    EXPECT_THAT(why.reason, testing::StartsWith(reason));
  }
}

// The addresses the technician writes.
TEST(PortAddress, ParsesWhatItShouldAndSaysWhyNot) {
  struct Case {
    const char* text;
    const char* normal;  // "" when malformed
    const char* why;     // part of the reason when malformed
  };
  const Case cases[] = {
      {"rfc2217://10.1.2.3:7001", "rfc2217://10.1.2.3:7001", ""},
      {"tcp://serial-server.example.org:2001", "tcp://serial-server.example.org:2001", ""},
      {"tcp://[::1]:65535", "tcp://[::1]:65535", ""},
      {"rfc2217://[fe80::1:2]:1", "rfc2217://[fe80::1:2]:1", ""},
      {"tcp://host:0", "", "from 1 to 65535, not \"0\""},
      {"tcp://host:65536", "", "from 1 to 65535"},
      {"tcp://host:70x", "", "not \"70x\""},
      {"tcp://host:", "", "not \"\""},
      {"rfc2217://:7001", "", "\"\" is no host name"},
      {"tcp://[::1]7001", "", "IPv6 address as [ADDRESS]"},
      {"tcp://[zz::1]:7001", "", "is no IPv6 address"},
      {"tcp://ho st:7001", "", "is no host name"},
      {"telnet://host:23", "", "starts with rfc2217:// or tcp://"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string why;
    const std::optional<PortAddress> address = ParsePortAddress(c.text, why);
    if (*c.normal != '\0') {
      ASSERT_TRUE(address.has_value()) << why;
      EXPECT_EQ(FormatPortAddress(*address), c.normal);
    } else {
      EXPECT_FALSE(address.has_value());
      EXPECT_THAT(why, HasSubstr(c.why));
    }
  }
}

}  // namespace
}  // namespace kbx
