// The network port against gensio's own accepter in this process: a serial
// server on loopback whose answers the test decides, served on a thread of
// its own as a server on another machine would be.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// gensio's C++ header takes its C headers into its namespace: the system's
// come first.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <gensio/gensio>

#include "platform/mapped_port.h"
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
using Steady = std::chrono::steady_clock;

constexpr int kCom = 4;
const Bytes kRequest = {0xAB, 0x01, 0xA0, 0xB4};
const Bytes kAnswer = {0xAB, 0x09, 0x01, 0x81, 0x31, 0x99};

// Waits up to a second, in steps of 5 ms, until `done` says so.
template <typename Done>
bool WaitFor(Done done) {
  const Steady::time_point end = Steady::now() + std::chrono::seconds(5);
  while (!done()) {
    if (Steady::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// What the server does with a client.
enum class Behaviour {
  kServe,      // takes the line settings it is asked for
  kOtherBaud,  // confirms 9600 baud, whatever it is asked for
  kSilent,     // never answers the line settings
  kTurnAway,   // "Port already in use" and closes, as ser2net does
};

class Server;

// One client of the server; its events come on the server's thread.
struct Client : gensios::Serial_Event {
  Client(Server& server, gensios::Gensio* connection) : owner(server), io(connection) {}

  gensios::gensiods read(int err, const gensios::SimpleUCharVector data, const char* const*) override;
  void write_ready() override { io->set_write_callback_enable(false); }
  // The requests of RFC 2217, answered as the server's behaviour says.
  void baud(unsigned int speed) override;
  void datasize(unsigned int size) override {
    Confirm("datasize", size, size, &gensios::Serial_Gensio::datasize);
  }
  void parity(unsigned int parity) override {
    Confirm("parity", parity, parity, &gensios::Serial_Gensio::parity);
  }
  void stopbits(unsigned int bits) override {
    Confirm("stopbits", bits, bits, &gensios::Serial_Gensio::stopbits);
  }
  void Confirm(const std::string& what, unsigned asked, unsigned value,
               void (gensios::Serial_Gensio::*answer)(unsigned, gensios::Serial_Op_Done*));

  Server& owner;
  gensios::Gensio* io;
};

// A serial server ("rfc2217" or "tcp") on a free loopback port, served on a
// thread of its own as a server on another machine would be. The test sees
// what its clients sent and asked for.
class Server : public gensios::Accepter_Event {
 public:
  Server(const std::string& kind, Behaviour behaviour) : kind_(kind), behaviour_(behaviour) {
    accepter_ = gensios::gensio_acc_alloc(
        std::string(kind == "rfc2217" ? "telnet(rfc2217)," : "") + "tcp,127.0.0.1,0", os_, this);
    accepter_->startup();
    accepter_->set_callback_enable(true);
    port_ = accepter_->get_port();
    thread_ = std::thread([this] { Serve(); });
  }
  ~Server() override {
    stop_ = true;
    thread_.join();
    for (auto& client : clients_) Close(*client);
    accepter_->shutdown_s();
    accepter_->set_event_handler(nullptr);
    accepter_->free();
  }

  void new_connection(gensios::Gensio* io) override {
    auto client = std::make_unique<Client>(*this, io);
    io->set_event_handler(client.get());
    io->set_read_callback_enable(true);
    if (behaviour_ == Behaviour::kTurnAway) {
      const std::string words = "Port already in use\r\n";
      io->write(words.data(), words.size(), nullptr);
      Close(*client);
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    clients_.push_back(std::move(client));
  }

  std::string Address() const { return kind_ + "://127.0.0.1:" + port_; }
  Behaviour behaviour() const { return behaviour_; }
  int Clients() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(clients_.size());
  }
  Bytes Received() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  std::vector<std::string> Asked() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
  }
  void Note(const Bytes& bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    received_.insert(received_.end(), bytes.begin(), bytes.end());
  }
  void NoteAsked(const std::string& what) {
    const std::lock_guard<std::mutex> lock(mutex_);
    asked_.push_back(what);
  }
  // Sends to the last client (gensio takes calls from any thread).
  void Send(const Bytes& bytes) { LastClient().io->write(bytes.data(), bytes.size(), nullptr); }
  // Drops the connection of the last client, as a server that goes away.
  void Drop() { Close(LastClient()); }

 private:
  void Serve() {
    while (!stop_) {
      gensios::gensio_time timeout{0, 5000000};
      gensios::gensio_os_funcs_service(os_, &timeout);
    }
  }
  Client& LastClient() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (clients_.empty()) throw std::runtime_error("no client has connected");
    return *clients_.back();
  }
  static void Close(Client& client) {
    if (client.io == nullptr) return;
    try {
      client.io->close_s();
    } catch (gensios::gensio_error&) {
      // The client has gone already.
    }
    client.io->set_event_handler(nullptr);
    client.io->free();
    client.io = nullptr;
  }

  gensios::Os_Funcs os_{0};
  std::string kind_;
  Behaviour behaviour_;
  gensios::Accepter* accepter_ = nullptr;
  std::string port_;
  std::mutex mutex_;  // guards what follows
  std::vector<std::unique_ptr<Client>> clients_;
  Bytes received_;
  std::vector<std::string> asked_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

gensios::gensiods Client::read(int err, const gensios::SimpleUCharVector data, const char* const*) {
  if (err == 0) owner.Note(Bytes(data.data(), data.data() + data.size()));
  return data.size();
}

void Client::baud(unsigned int speed) {
  Confirm("baud", speed, owner.behaviour() == Behaviour::kOtherBaud ? 9600 : speed,
          &gensios::Serial_Gensio::baud);
}

void Client::Confirm(const std::string& what, unsigned asked, unsigned value,
                     void (gensios::Serial_Gensio::*answer)(unsigned, gensios::Serial_Op_Done*)) {
  owner.NoteAsked(what + " " + std::to_string(asked));
  if (owner.behaviour() != Behaviour::kSilent)
    (static_cast<gensios::Serial_Gensio&>(*io).*answer)(value, nullptr);
}

PortRequest Request(const LineSettings& settings = {19200, 'N', 8, 2}) {
  PortRequest request;
  request.commPort = kCom;
  request.settings = settings;
  request.rtsEnable = true;
  request.dtrEnable = true;
  return request;
}

class NetworkPortTest : public testing::TestWithParam<const char*> {
 protected:
  PortMap ports_;
};

// Bytes both ways; the server goes away: reading fails with 8020, writing
// with 8021; the next open connects anew and keeps no more than its receive
// buffer holds.
TEST_P(NetworkPortTest, CarriesBytesBothWaysUntilTheConnectionIsLost) {
  Server server(GetParam(), Behaviour::kServe);
  ports_.Map(kCom, server.Address());
  NetworkPort port(ports_);
  port.Open(Request());
  ASSERT_TRUE(port.IsOpen());
  EXPECT_EQ(port.Describe().device, server.Address());
  port.Write(kRequest);
  EXPECT_EQ(port.PendingOutput(), 0);
  EXPECT_TRUE(WaitFor([&] { return server.Received() == kRequest; }));
  server.Send(kAnswer);
  EXPECT_TRUE(WaitFor([&] { return port.BytesWaiting() == static_cast<int>(kAnswer.size()); }));
  EXPECT_EQ(port.ReadAll(), kAnswer);
  EXPECT_EQ(port.BytesWaiting(), 0);

  server.Drop();
  EXPECT_TRUE(WaitFor([&] { return ThrownNumber([&] { port.BytesWaiting(); }) == kErrReadDevice; }));
  EXPECT_EQ(ThrownNumber([&] { port.Write(kRequest); }), kErrWriteDevice);
  port.Close();
  EXPECT_FALSE(port.IsOpen());

  PortRequest small = Request();
  small.inBufferSize = 4;
  port.Open(small);
  EXPECT_EQ(server.Clients(), 2);
  port.Write(kRequest);
  Bytes twice = kRequest;
  twice.insert(twice.end(), kRequest.begin(), kRequest.end());
  EXPECT_TRUE(WaitFor([&] { return server.Received() == twice; }));
  server.Send(kAnswer);
  EXPECT_TRUE(WaitFor([&] { return port.BytesWaiting() == 4; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(port.ReadAll(), Bytes(kAnswer.begin(), kAnswer.begin() + 4));
}

INSTANTIATE_TEST_SUITE_P(BothKinds, NetworkPortTest, testing::Values("rfc2217", "tcp"));

class Rfc2217Test : public NetworkPortTest {};

TEST_F(Rfc2217Test, AppliesTheLineSettingsThroughTheServer) {
  Server server("rfc2217", Behaviour::kServe);
  ports_.Map(kCom, server.Address());
  NetworkPort port(ports_);
  port.Open(Request({2400, 'E', 7, 4}));
  EXPECT_THAT(server.Asked(),
              testing::ElementsAre("baud 2400", "datasize 7",
                                   "parity " + std::to_string(SERGENSIO_PARITY_EVEN), "stopbits 2"));
  EXPECT_EQ(port.Describe().confirmed, (LineSettings{2400, 'E', 7, 4}));
  EXPECT_EQ(FormatLineSettings(port.Describe().settings), "2400,E,7,2");
}

// Why an open fails, by number and in words: settings the server does not
// confirm are 8015; a value of the request refused before any connection is
// 380, as on a local port; a host that cannot be found is 8002, a port where
// nothing listens 8012; a server that turns the connection away is 8005 with
// its words, which over telnet go with the connection before it is set up.
TEST_F(Rfc2217Test, AFailingOpenGivesItsNumberAndWhy) {
  const std::string nowhere = "127.0.0.1:" + std::to_string(test::FreePort());
  struct Case {
    const char* kind;
    Behaviour behaviour;
    std::string address;  // "": the server's
    int number;
    std::string reason;
    LineSettings settings = {19200, 'N', 8, 2};
  };
  for (const Case& c : {
           Case{"rfc2217", Behaviour::kOtherBaud, "", kErrCommState, "it confirmed 9600,N,8,1"},
           Case{"rfc2217", Behaviour::kSilent, "", kErrCommState,
                "did not confirm the line settings 19200,N,8,1"},
           Case{"rfc2217", Behaviour::kServe, "", kErrInvalidProperty, "", {19201, 'N', 8, 2}},
           Case{"rfc2217", Behaviour::kServe, "rfc2217://kbx-no-such-host.invalid:7001",
                kErrInvalidPortNumber, "kbx-no-such-host.invalid"},
           Case{"rfc2217", Behaviour::kServe, "rfc2217://" + nowhere, kErrDeviceNotOpen,
                "rfc2217://" + nowhere + " cannot be reached: "},
           Case{"tcp", Behaviour::kServe, "tcp://" + nowhere, kErrDeviceNotOpen,
                "tcp://" + nowhere + " cannot be reached: "},
           Case{"rfc2217", Behaviour::kTurnAway, "", kErrPortAlreadyOpen, "turned the connection away"},
           Case{"tcp", Behaviour::kTurnAway, "", kErrPortAlreadyOpen,
                "turned the connection away: Port already in use"},
       }) {
    SCOPED_TRACE(c.kind + (" " + c.reason));
    Server server(c.kind, c.behaviour);
    ports_.Map(kCom, c.address.empty() ? server.Address() : c.address);
    NetworkPort port(ports_);
    PortFailure result = WhyOpenFails(port, Request(c.settings));
    // Over raw TCP the turning away is seen only within the open's short watch
    // of a new connection, which a busy machine may let pass before the
    // server's words come: one of three opens must see it.
    for (int attempt = 1; attempt < 3 && c.behaviour == Behaviour::kTurnAway && result.number == 0;
         ++attempt) {
      port.Close();
      result = WhyOpenFails(port, Request(c.settings));
    }
    EXPECT_EQ(result.number, c.number);
    EXPECT_THAT(result.reason, HasSubstr(c.reason));
  }
}

// The mapped port talks to the server for a network number and takes no lock
// file for it; a device number goes to the terminal port again.
TEST_F(Rfc2217Test, TheMappedPortPicksTheKindOfEachNumber) {
  Server server("tcp", Behaviour::kServe);
  TempFolder locks;
  ports_.Map(kCom, server.Address());
  ports_.Map(kCom + 1, "/dev/kbx-test-no-such-device");
  MappedPort port(ports_, locks.path);
  port.Open(Request());
  EXPECT_TRUE(port.IsOpen());
  EXPECT_TRUE(std::filesystem::is_empty(locks.path));
  port.Write(kRequest);
  EXPECT_TRUE(WaitFor([&] { return server.Received() == kRequest; }));
  port.Close();
  PortRequest local = Request();
  local.commPort = kCom + 1;
  const PortFailure result = WhyOpenFails(port, local);
  EXPECT_EQ(result.number, kErrInvalidPortNumber);
  EXPECT_EQ(result.reason, "COM5 is /dev/kbx-test-no-such-device, which does not exist");
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
      {"tcp://host", "", "expected tcp://HOST:PORT"},
      {"rfc2217://:7001", "", "\"\" is no host name"},
      {"tcp://::1:7001", "", "IPv6 address as [ADDRESS]"},
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
