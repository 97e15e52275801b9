// The serial port layer against a real pseudo-terminal: the port under test
// opens the slave side, the test plays the far end on the master side.

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/port_map.h"
#include "platform/qt_serial_control.h"
#include "platform/run_time_error.h"

namespace kbx {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Qt's socket notifiers want an application object, as in the program.
struct QtApplicationEnvironment : ::testing::Environment {
  void SetUp() override { app = std::make_unique<QCoreApplication>(argc, argv); }
  void TearDown() override { app.reset(); }
  int argc = 1;
  char name[14] = "platform_test";
  char* argv[2] = {name, nullptr};
  std::unique_ptr<QCoreApplication> app;
};
[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

constexpr int kComPty = 7;
constexpr char kMissingDevice[] = "/dev/kbx-test-no-such-device";

// A pseudo-terminal pair, both sides raw. We keep our own descriptor of the
// slave side so that the port may close and reopen without a hang-up.
struct Pty {
  Pty() {
    char name[256] = {};
    EXPECT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    path = name;
    for (const int fd : {master, slave}) {
      termios t{};
      ::tcgetattr(fd, &t);
      ::cfmakeraw(&t);
      ::tcsetattr(fd, TCSANOW, &t);
    }
  }
  ~Pty() {
    ::close(master);
    ::close(slave);
  }

  void Write(const Bytes& b) { ASSERT_EQ(::write(master, b.data(), b.size()), std::ssize(b)); }

  // What the far end receives until `count` bytes have come or `ms` passed.
  Bytes Read(std::size_t count, int ms = 1000) {
    Bytes out;
    std::uint8_t buf[4096];
    for (const auto end = Clock::now() + std::chrono::milliseconds(ms);
         out.size() < count && Clock::now() < end;) {
      pollfd pfd{master, POLLIN, 0};
      const ssize_t n = ::poll(&pfd, 1, 1) > 0 ? ::read(master, buf, sizeof buf) : 0;
      out.insert(out.end(), buf, buf + std::max<ssize_t>(n, 0));
    }
    return out;
  }

  // Waits until exactly `count` bytes written at the master wait, unread, on the slave side.
  bool WaitQueued(int count) const {
    const auto deadline = Clock::now() + 1s;
    int n = 0;
    while (::ioctl(slave, FIONREAD, &n) == 0 && n < count && Clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    return n == count;
  }

  int master = -1;
  int slave = -1;
  std::string path;
};

Bytes Pattern(std::size_t size, int seed = 0) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return b;
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// The error number a call throws; 0 if it throws nothing.
int ErrorOf(const std::function<void()>& call) try {
  call();
  return 0;
} catch (const RunTimeError& e) {
  return e.number();
}

// Polls the receive count until it reaches `count` or a second has passed.
int WaitForCount(SerialControl& port, int count) {
  const auto deadline = Clock::now() + 1s;
  int n = 0;
  while ((n = port.InBufferCount()) < count && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  return n;
}

class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest() : port_(map_) { map_.Map(kComPty, pty_.path); }

  void OpenPty() {
    port_.SetCommPort(kComPty);
    port_.SetPortOpen(true);
    ASSERT_TRUE(port_.PortOpen());
  }

  // A pseudo-terminal carries baud rate and stop bits, but always runs 8 data bits without parity.
  void ExpectLine(speed_t speed, bool twoStopBits, const std::string& what) {
    termios t{};
    ::tcgetattr(pty_.slave, &t);
    EXPECT_EQ(cfgetospeed(&t), speed) << what;
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, twoStopBits) << what;
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << what;
  }

  Pty pty_;
  PortMap map_;
  QtSerialControl port_;
};

// ---------------------------------------------------------------- PortMap

TEST(PortMapTest, ParsesMappingsAndLeavesTheOutputsAloneOnFailure) {
  int number = 0;
  std::string device;
  // A relative device is taken from the current folder.
  const std::string here = std::filesystem::current_path().string() + "/";
  for (const auto& [text, expectedNumber, expectedDevice] :
       std::vector<std::tuple<std::string, int, std::string>>{{"3=/dev/ttyUSB0", 3, "/dev/ttyUSB0"},
                                                              {"32767=/dev/pts/5", 32767, "/dev/pts/5"},
                                                              {"1=x=y", 1, here + "x=y"}}) {
    EXPECT_TRUE(PortMap::ParseMapping(text, number, device)) << text;
    EXPECT_EQ(number, expectedNumber) << text;
    EXPECT_EQ(device, expectedDevice) << text;
  }
  for (const std::string text :
       {"0=/dev/ttyUSB0", "-1=/dev/ttyS0", "+2=/dev/ttyS0", "=/dev/ttyS0", "3=", "3", "", "x=/dev/ttyS0",
        "3 =/dev/ttyS0", "32768=/dev/ttyS0", "99999999999=/dev/ttyS0"}) {
    EXPECT_FALSE(PortMap::ParseMapping(text, number, device)) << text;
    EXPECT_EQ(number, 1) << text;
    EXPECT_EQ(device, here + "x=y") << text;
  }
}

TEST(PortMapTest, NumbersNameTheOnBoardPortsOrTheMappedDevicesThatExist) {
  Pty pty;
  PortMap map;
  EXPECT_EQ(map.Device(3), "/dev/ttyS2");
  map.Map(9, pty.path);
  map.Map(7, pty.path);
  map.Map(8, kMissingDevice);
  EXPECT_EQ(map.Device(8), kMissingDevice);
  int listed = 0;
  for (const PortInfo& p : map.ListPorts()) {
    EXPECT_NE(p.device, kMissingDevice);
    if (p.device == pty.path) {
      ++listed;
      EXPECT_EQ(p.comNumber, 7);
    }
    if (p.comNumber > 0) {
      EXPECT_EQ(map.Device(p.comNumber), p.device);
    }
  }
  EXPECT_EQ(listed, 1);
}

// ------------------------------------------------------- open and close

TEST_F(SerialPortTest, ClosedPortReadsZeroRefusesTransfersAndReopensWithNothingReceived) {
  EXPECT_EQ(port_.InBufferCount(), 0);
  EXPECT_EQ(port_.OutBufferCount(), 0);
  port_.SetInBufferCount(0);
  EXPECT_EQ(ErrorOf([&] { port_.Input(); }), kErrDeviceNotOpen);
  EXPECT_EQ(ErrorOf([&] { port_.Output(Text("x")); }), kErrDeviceNotOpen);
  port_.SetPortOpen(false);  // closing a closed port does nothing
  port_.SetCommPort(kComPty);
  for (int round = 0; round < 3; ++round) {
    port_.SetPortOpen(true);
    ASSERT_TRUE(port_.PortOpen()) << round;
    EXPECT_EQ(port_.InBufferCount(), 0) << round;  // what came while closed is gone
    const Bytes hello = Text("round " + std::to_string(round));
    port_.Output(hello);
    EXPECT_EQ(pty_.Read(hello.size()), hello) << round;
    pty_.Write(Text("unread"));
    EXPECT_EQ(WaitForCount(port_, 6), 6) << round;
    port_.SetPortOpen(false);
    pty_.Write(Text("while closed"));
    ASSERT_TRUE(pty_.WaitQueued(12));
  }
}

TEST_F(SerialPortTest, RefusedValuesAndOpensGiveTheirErrorAndChangeNothing) {
  const std::vector<std::function<void()>> refused = {
      [&] { port_.SetHandshaking(4); },   [&] { port_.SetHandshaking(-1); },
      [&] { port_.SetInBufferSize(0); },  [&] { port_.SetOutBufferSize(0); },
      [&] { port_.SetInBufferCount(5); }, [&] { port_.SetInputMode(2); },
      [&] { port_.SetInputLen(-1); },     [&] { port_.SetSThreshold(-1); },
      [&] { port_.SetRThreshold(-1); }};
  for (std::size_t i = 0; i < refused.size(); ++i) EXPECT_EQ(ErrorOf(refused[i]), kErrInvalidProperty) << i;
  map_.Map(9, kMissingDevice);
  port_.SetCommPort(kComPty);
  for (const int number : {0, -1, 9}) {
    EXPECT_EQ(ErrorOf([&] { port_.SetCommPort(number); }), kErrInvalidPortNumber) << number;
    EXPECT_EQ(port_.CommPort(), kComPty) << number;
  }
  OpenPty();
  // A device gone since its number was set, one that is no terminal, one held by another port.
  const std::vector<std::pair<std::string, int>> cases = {{kMissingDevice, kErrInvalidPortNumber},
                                                          {"/dev/null", kErrDeviceNotOpen},
                                                          {pty_.path, kErrDeviceNotOpen}};
  for (const auto& [device, error] : cases) {
    QtSerialControl other(map_);
    map_.Map(8, pty_.path);
    other.SetCommPort(8);
    map_.Map(8, device);
    EXPECT_EQ(ErrorOf([&] { other.SetPortOpen(true); }), error) << device;
    EXPECT_FALSE(other.PortOpen()) << device;
  }
  EXPECT_EQ(ErrorOf([&] { port_.SetPortOpen(true); }), kErrPortAlreadyOpen);
  EXPECT_EQ(ErrorOf([&] { port_.SetCommPort(8); }), kErrPortAlreadyOpen);
  EXPECT_EQ(port_.CommPort(), kComPty);
  // Modem lines and flow control are no errors on a terminal without them either.
  port_.SetRTSEnable(true);
  port_.SetDTREnable(true);
  port_.SetHandshaking(2);
  port_.SetHandshaking(0);
  port_.Output(Text("still"));
  EXPECT_EQ(pty_.Read(5), Text("still"));
}

// ------------------------------------------------------------- settings

TEST_F(SerialPortTest, SettingsAreNormalisedOrRefusedWith380KeepingTheOldOnes) {
  for (const int baud : {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400, 56000, 57600,
                         115200, 128000, 256000}) {
    const std::string text = std::to_string(baud) + ",N,8,1";
    EXPECT_EQ(ErrorOf([&] { port_.SetSettings(text); }), 0) << text;
    EXPECT_EQ(port_.Settings(), text);
  }
  const std::vector<std::pair<std::string, std::string>> normal = {
      {"9600,n,8,1", "9600,N,8,1"},   {"110,e,7,2", "110,E,7,2"},       {"2400,O,6,1", "2400,O,6,1"},
      {"4800,m,8,2", "4800,M,8,2"},   {"115200,s,7,1", "115200,S,7,1"}, {"1200,N,5,1.5", "1200,N,5,1.5"},
      {"09600,N,08,1", "9600,N,8,1"}, {"2400,E,7,2", "2400,E,7,2"}};
  for (const auto& [text, expected] : normal) {
    port_.SetSettings(text);
    EXPECT_EQ(port_.Settings(), expected) << text;
  }
  for (const std::string text :
       {"12345,N,8,1", "19200,N,8", "abc", "19200,X,8,1", "", "19200,N,9,1", "19200,N,4,1", "19200,N,8,3",
        "19200,N,8,1,", ",N,8,1", "-9600,N,8,1", "19200,NN,8,1", "19200,N,8,1.0", " 9600,N,8,1", "9600,N,8,0",
        "9600;N;8;1", "9600,,8,1", "4294976896,N,8,1"}) {
    EXPECT_EQ(ErrorOf([&] { port_.SetSettings(text); }), kErrInvalidProperty) << '"' << text << '"';
    EXPECT_EQ(port_.Settings(), "2400,E,7,2") << '"' << text << '"';
  }
}

TEST_F(SerialPortTest, LineSettingsReachTheLineOrFailWith8015KeepingTheOldLine) {
  // Valid strings, but not for this line: a pseudo-terminal has neither
  // parity nor short characters, and 1.5 stop bits exist at 5 data bits only.
  const std::vector<std::string> cannot = {"9600,E,8,1", "9600,O,8,1", "9600,M,8,1",  "9600,S,8,1",
                                           "9600,N,7,1", "9600,N,5,1", "9600,N,8,1.5"};
  port_.SetCommPort(kComPty);
  for (const std::string& text : cannot) {
    port_.SetSettings(text);
    EXPECT_EQ(ErrorOf([&] { port_.SetPortOpen(true); }), kErrCommState) << text;
    EXPECT_FALSE(port_.PortOpen()) << text;
  }
  port_.SetSettings("2400,N,8,2");
  OpenPty();
  ExpectLine(B2400, true, "at open");
  for (const std::string& text : cannot) {
    EXPECT_EQ(ErrorOf([&] { port_.SetSettings(text); }), kErrCommState) << text;
    EXPECT_EQ(port_.Settings(), "2400,N,8,2") << text;
    ExpectLine(B2400, true, text);
  }
  EXPECT_EQ(ErrorOf([&] { port_.SetSettings("12345,N,8,1"); }), kErrInvalidProperty);
  ExpectLine(B2400, true, "after 380");
  port_.SetSettings("115200,N,8,1");
  ExpectLine(B115200, false, "while open");
  EXPECT_EQ(ErrorOf([&] { port_.SetSettings("128000,N,8,1"); }), 0);  // no termios constant for it
  port_.Output(Text("still fine"));
  EXPECT_EQ(pty_.Read(10), Text("still fine"));
}

// ------------------------------------------------------- sending and receiving

TEST_F(SerialPortTest, OutputReachesTheFarEndUnchangedAndDrainsWithoutAnEventLoop) {
  OpenPty();
  port_.Output({});
  const Bytes all = Pattern(256);  // every byte value
  port_.Output(all);
  EXPECT_EQ(pty_.Read(all.size() + 1, 100), all);
  EXPECT_EQ(port_.OutBufferCount(), 0);

  const Bytes big = Pattern(256 * 1024);
  port_.Output(big);  // far more than the terminal takes while nobody reads
  EXPECT_GT(port_.OutBufferCount(), 0);
  Bytes got;  // OutBufferCount hands on what the terminal takes by now
  for (const auto end = Clock::now() + 3s; got.size() < big.size() && Clock::now() < end;
       port_.OutBufferCount()) {
    const Bytes part = pty_.Read(1, 5);
    got.insert(got.end(), part.begin(), part.end());
  }
  EXPECT_EQ(port_.OutBufferCount(), 0);
  EXPECT_TRUE(got == big) << "received " << got.size() << " of " << big.size();
}

// Received bytes accumulate across polls and are read once. The receive buffer
// keeps the first InBufferSize bytes (1024 unless set) and loses the rest.
// Setting InBufferCount to 0 discards what it holds and what the terminal holds.
TEST_F(SerialPortTest, ReceiveBufferKeepsTheFirstBytesLosesTheRestAndCanBeEmptied) {
  // Buffer size (0: left at its default), bytes received before the next
  // ones come, bytes waiting in the terminal at the next poll, bytes kept.
  for (const auto [size, polled, queued, kept] : std::vector<std::array<int, 4>>{
           {0, 3, 300, 303}, {0, 0, 1500, 1024}, {0, 700, 700, 1024}, {16, 0, 40, 16}}) {
    SCOPED_TRACE(std::to_string(polled) + "+" + std::to_string(queued));
    if (size > 0) port_.SetInBufferSize(size);
    OpenPty();
    const Bytes sent = Pattern(polled + queued, 3);
    pty_.Write(Bytes(sent.begin(), sent.begin() + polled));
    EXPECT_EQ(WaitForCount(port_, polled), polled);
    pty_.Write(Bytes(sent.begin() + polled, sent.end()));
    ASSERT_TRUE(pty_.WaitQueued(queued));
    EXPECT_EQ(port_.InBufferCount(), kept);
    EXPECT_EQ(port_.Input(), Bytes(sent.begin(), sent.begin() + kept));
    EXPECT_EQ(port_.InBufferCount(), 0);  // lost, not held back
    EXPECT_TRUE(port_.Input().empty());
    pty_.Write(Text("stale"));
    EXPECT_EQ(WaitForCount(port_, 5), 5);
    pty_.Write(Text("older"));  // still in the terminal, not polled yet
    ASSERT_TRUE(pty_.WaitQueued(5));
    port_.SetInBufferCount(0);
    EXPECT_EQ(port_.InBufferCount(), 0);
    EXPECT_TRUE(pty_.WaitQueued(0));
    pty_.Write(Text("fresh"));
    EXPECT_EQ(WaitForCount(port_, 5), 5);
    EXPECT_EQ(port_.Input(), Text("fresh"));
    port_.SetPortOpen(false);
  }
}

TEST_F(SerialPortTest, DeviceThatVanishesIsReportedNotHung) {
  OpenPty();
  ::close(std::exchange(pty_.master, -1));
  const auto start = Clock::now();
  EXPECT_EQ(ErrorOf([&] { port_.InBufferCount(); }), kErrReadDevice);
  EXPECT_EQ(ErrorOf([&] { port_.Input(); }), kErrReadDevice);
  EXPECT_EQ(ErrorOf([&] { port_.Output(Text("lost")); }), kErrWriteDevice);
  EXPECT_EQ(ErrorOf([&] { port_.OutBufferCount(); }), kErrWriteDevice);
  EXPECT_LT(Clock::now() - start, 200ms);
  port_.SetPortOpen(false);
  EXPECT_FALSE(port_.PortOpen());
}

}  // namespace
}  // namespace kbx
