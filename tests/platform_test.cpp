// The serial port layer against a real pseudo-terminal: the port under test
// opens the slave side, the test plays the far end on the master side.

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/port_map.h"
#include "platform/qt_serial_control.h"
#include "platform/run_time_error.h"

namespace kbx {
namespace {

using Clock = std::chrono::steady_clock;

// Qt's socket notifiers want an application object, as in the program.
class QtApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "platform_test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QCoreApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QCoreApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

constexpr int kComPty = 7;
constexpr char kMissingDevice[] = "/dev/kbx-test-no-such-device";

// A pseudo-terminal pair, both sides raw. We keep our own descriptor of the
// slave side so that the port may close and reopen without a hang-up.
class Pty {
 public:
  Pty() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty failed";
      return;
    }
    path_ = name;
    MakeRaw(master_);
    MakeRaw(slave_);
  }
  ~Pty() {
    CloseMaster();
    if (slave_ >= 0) ::close(slave_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& path() const { return path_; }
  int slave() const { return slave_; }

  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  void Write(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      ASSERT_GT(n, 0) << "write to the master side failed";
      done += static_cast<std::size_t>(n);
    }
  }

  // What the far end has received so far, waiting at most timeoutMs for the
  // first byte and taking only what is there at once after that.
  Bytes ReadAvailable(int timeoutMs) {
    Bytes out;
    pollfd pfd{master_, POLLIN, 0};
    int wait = timeoutMs;
    while (::poll(&pfd, 1, wait) > 0 && (pfd.revents & POLLIN)) {
      std::uint8_t buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
      wait = 0;
    }
    return out;
  }

  // Collects at the far end until `count` bytes have come or a second passed.
  Bytes Read(std::size_t count) {
    Bytes out;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (out.size() < count && Clock::now() < deadline) {
      const Bytes part = ReadAvailable(10);
      out.insert(out.end(), part.begin(), part.end());
    }
    return out;
  }

  // Bytes waiting on the slave side that nobody has read yet.
  int Queued() const {
    int n = 0;
    ::ioctl(slave_, FIONREAD, &n);
    return n;
  }

  // Waits until `count` bytes written at the master wait on the slave side.
  bool WaitQueued(int count) const {
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (Queued() < count && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Queued() == count;
  }

  termios SlaveTermios() const {
    termios t{};
    ::tcgetattr(slave_, &t);
    return t;
  }

 private:
  static void MakeRaw(int fd) {
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

Bytes Pattern(std::size_t size, int seed = 0) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i)
    b[i] = static_cast<std::uint8_t>((i * 7 + static_cast<std::size_t>(seed)) & 0xFF);
  return b;
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// The error number a call throws; 0 if it throws nothing.
int ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const RunTimeError& e) {
    return e.number();
  }
  return 0;
}

// Polls the receive count until it reaches `count` or a second has passed.
int WaitForCount(SerialControl& port, int count) {
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  int n = port.InBufferCount();
  while (n < count && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    n = port.InBufferCount();
  }
  return n;
}

class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest() : port_(map_) { map_.Map(kComPty, pty_.path()); }

  void OpenPty() {
    port_.SetCommPort(kComPty);
    port_.SetPortOpen(true);
    ASSERT_TRUE(port_.PortOpen());
  }

  Pty pty_;
  PortMap map_;
  QtSerialControl port_;
};

// ---------------------------------------------------------------- PortMap

TEST(PortMapTest, DefaultNumbersNameTheOnBoardPorts) {
  const PortMap map;
  EXPECT_EQ(map.Device(1), "/dev/ttyS0");
  EXPECT_EQ(map.Device(2), "/dev/ttyS1");
  EXPECT_EQ(map.Device(16), "/dev/ttyS15");
  EXPECT_EQ(map.Device(0), "");
  EXPECT_EQ(map.Device(-1), "");
}

TEST(PortMapTest, MappingOverridesOneNumberAndEmptyRestoresIt) {
  PortMap map;
  map.Map(3, "/dev/ttyUSB0");
  EXPECT_EQ(map.Device(3), "/dev/ttyUSB0");
  EXPECT_EQ(map.Device(2), "/dev/ttyS1");
  EXPECT_EQ(map.Device(4), "/dev/ttyS3");
  map.Map(3, "/dev/pts/5");
  EXPECT_EQ(map.Device(3), "/dev/pts/5");
  map.Map(3, "");
  EXPECT_EQ(map.Device(3), "/dev/ttyS2");
  map.Map(0, "/dev/ttyUSB1");
  EXPECT_EQ(map.Device(0), "");
}

struct MappingCase {
  std::string text;
  bool ok;
  int number;
  std::string device;
};

TEST(PortMapTest, ParsesMappings) {
  const std::vector<MappingCase> cases = {
      {"3=/dev/ttyUSB0", true, 3, "/dev/ttyUSB0"},
      {"12=/dev/pts/5", true, 12, "/dev/pts/5"},
      {"1=x=y", true, 1, "x=y"},
      {"0=/dev/ttyUSB0", false, 0, ""},
      {"-1=/dev/ttyUSB0", false, 0, ""},
      {"+2=/dev/ttyUSB0", false, 0, ""},
      {"=/dev/ttyUSB0", false, 0, ""},
      {"3=", false, 0, ""},
      {"3", false, 0, ""},
      {"", false, 0, ""},
      {"x=/dev/ttyUSB0", false, 0, ""},
      {"3 =/dev/ttyUSB0", false, 0, ""},
      {"99999999999=/dev/ttyUSB0", false, 0, ""},
  };
  for (const MappingCase& c : cases) {
    int number = -7;
    std::string device = "unchanged";
    EXPECT_EQ(PortMap::ParseMapping(c.text, number, device), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(number, c.number) << c.text;
      EXPECT_EQ(device, c.device) << c.text;
    } else {
      EXPECT_EQ(number, -7) << c.text;
      EXPECT_EQ(device, "unchanged") << c.text;
    }
  }
}

TEST(PortMapTest, ListsMappedDevicesThatExistWithTheirNumber) {
  Pty pty;
  PortMap map;
  map.Map(9, pty.path());
  map.Map(7, pty.path());
  map.Map(8, kMissingDevice);
  const std::vector<PortInfo> ports = map.ListPorts();
  const auto count =
      std::count_if(ports.begin(), ports.end(), [&](const PortInfo& p) { return p.device == pty.path(); });
  EXPECT_EQ(count, 1);
  const auto it =
      std::find_if(ports.begin(), ports.end(), [&](const PortInfo& p) { return p.device == pty.path(); });
  ASSERT_NE(it, ports.end());
  EXPECT_EQ(it->comNumber, 7);
  EXPECT_TRUE(
      std::none_of(ports.begin(), ports.end(), [](const PortInfo& p) { return p.device == kMissingDevice; }));
  for (const PortInfo& p : ports) {
    if (p.comNumber > 0) {
      EXPECT_EQ(map.Device(p.comNumber), p.device);
    }
  }
}

// ------------------------------------------------------- open and close

TEST_F(SerialPortTest, StartsClosedOnComOneWithNineThousandSixHundredBaud) {
  EXPECT_EQ(port_.CommPort(), 1);
  EXPECT_EQ(port_.Settings(), "9600,N,8,1");
  EXPECT_FALSE(port_.PortOpen());
}

TEST_F(SerialPortTest, OpensClosesAndReopensAPseudoTerminal) {
  port_.SetRTSEnable(true);
  port_.SetDTREnable(true);
  port_.SetHandshaking(0);
  port_.SetCommPort(kComPty);
  EXPECT_EQ(port_.CommPort(), kComPty);
  for (int round = 0; round < 3; ++round) {
    port_.SetPortOpen(true);
    ASSERT_TRUE(port_.PortOpen()) << round;
    const Bytes hello = Text("round " + std::to_string(round));
    port_.Output(hello);
    EXPECT_EQ(pty_.Read(hello.size()), hello) << round;
    port_.SetPortOpen(false);
    EXPECT_FALSE(port_.PortOpen()) << round;
  }
}

TEST_F(SerialPortTest, ClosingAClosedPortDoesNothing) {
  EXPECT_EQ(ErrorOf([&] { port_.SetPortOpen(false); }), 0);
  OpenPty();
  port_.SetPortOpen(false);
  EXPECT_EQ(ErrorOf([&] { port_.SetPortOpen(false); }), 0);
  EXPECT_FALSE(port_.PortOpen());
}

TEST_F(SerialPortTest, NumberThatNamesNoPortIsRefused) {
  map_.Map(9, kMissingDevice);
  port_.SetCommPort(kComPty);
  for (const int number : {0, -1, 9}) {
    EXPECT_EQ(ErrorOf([&] { port_.SetCommPort(number); }), kErrInvalidPortNumber) << number;
    EXPECT_EQ(port_.CommPort(), kComPty) << number;
  }
}

TEST_F(SerialPortTest, OpeningADeviceThatIsGoneIsInvalidPortNumber) {
  port_.SetCommPort(kComPty);
  map_.Map(kComPty, kMissingDevice);
  EXPECT_EQ(ErrorOf([&] { port_.SetPortOpen(true); }), kErrInvalidPortNumber);
  EXPECT_FALSE(port_.PortOpen());
}

TEST_F(SerialPortTest, OpeningTwiceIsPortAlreadyOpenAndLeavesItWorking) {
  OpenPty();
  EXPECT_EQ(ErrorOf([&] { port_.SetPortOpen(true); }), kErrPortAlreadyOpen);
  EXPECT_TRUE(port_.PortOpen());
  port_.Output(Text("still"));
  EXPECT_EQ(pty_.Read(5), Text("still"));
}

TEST_F(SerialPortTest, ChangingThePortNumberWhileOpenIsRefused) {
  Pty other;
  map_.Map(8, other.path());
  OpenPty();
  EXPECT_EQ(ErrorOf([&] { port_.SetCommPort(8); }), kErrPortAlreadyOpen);
  EXPECT_EQ(port_.CommPort(), kComPty);
}

TEST_F(SerialPortTest, PortHeldBySomeoneElseCannotBeOpened) {
  OpenPty();
  QtSerialControl second(map_);
  second.SetCommPort(kComPty);
  EXPECT_EQ(ErrorOf([&] { second.SetPortOpen(true); }), kErrDeviceNotOpen);
  EXPECT_FALSE(second.PortOpen());
  port_.Output(Text("ok"));
  EXPECT_EQ(pty_.Read(2), Text("ok"));
}

TEST_F(SerialPortTest, DeviceThatIsNoTerminalCannotBeOpened) {
  map_.Map(8, "/dev/null");
  port_.SetCommPort(8);
  EXPECT_EQ(ErrorOf([&] { port_.SetPortOpen(true); }), kErrDeviceNotOpen);
  EXPECT_FALSE(port_.PortOpen());
}

// ------------------------------------------------------------- settings

struct NormalCase {
  std::string text;
  std::string normal;
};

TEST_F(SerialPortTest, SettingsAreNormalised) {
  const std::vector<NormalCase> cases = {
      {"19200,N,8,1", "19200,N,8,1"},   {"9600,n,8,1", "9600,N,8,1"},   {"110,e,7,2", "110,E,7,2"},
      {"2400,O,6,1", "2400,O,6,1"},     {"4800,m,8,2", "4800,M,8,2"},   {"115200,s,7,1", "115200,S,7,1"},
      {"1200,N,5,1.5", "1200,N,5,1.5"}, {"09600,N,08,1", "9600,N,8,1"}, {"256000,E,8,1", "256000,E,8,1"},
  };
  for (const NormalCase& c : cases) {
    port_.SetSettings(c.text);
    EXPECT_EQ(port_.Settings(), c.normal) << c.text;
  }
}

TEST_F(SerialPortTest, EveryListedBaudRateIsAccepted) {
  for (const int baud : {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400, 56000, 57600,
                         115200, 128000, 256000}) {
    const std::string text = std::to_string(baud) + ",N,8,1";
    EXPECT_EQ(ErrorOf([&] { port_.SetSettings(text); }), 0) << text;
    EXPECT_EQ(port_.Settings(), text);
  }
}

struct LineCase {
  std::string text;
  speed_t speed;
  bool twoStopBits;
};

// A pseudo-terminal carries baud rate and stop bits, but always runs
// 8 data bits without parity.
TEST_F(SerialPortTest, SettingsArePutOnTheOpenLine) {
  const std::vector<LineCase> cases = {
      {"19200,N,8,1", B19200, false},  {"110,N,8,2", B110, true},      {"2400,n,8,1", B2400, false},
      {"115200,N,8,2", B115200, true}, {"57600,N,8,1", B57600, false},
  };
  OpenPty();
  for (const LineCase& c : cases) {
    port_.SetSettings(c.text);
    const termios t = pty_.SlaveTermios();
    EXPECT_EQ(cfgetospeed(&t), c.speed) << c.text;
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStopBits) << c.text;
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << c.text;
  }
  EXPECT_EQ(ErrorOf([&] { port_.SetSettings("128000,N,8,1"); }), 0);
  EXPECT_EQ(port_.Settings(), "128000,N,8,1");
}

TEST_F(SerialPortTest, SettingsAreAppliedWhenTheClosedPortOpens) {
  port_.SetSettings("2400,N,8,2");
  OpenPty();
  const termios t = pty_.SlaveTermios();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B2400));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
}

TEST_F(SerialPortTest, LineSettingsTheDeviceCannotTakeFailWhenOpening) {
  // Valid strings, but not for this line: a pseudo-terminal has neither
  // parity nor short characters, and 1.5 stop bits exist at 5 data bits only.
  const std::vector<std::string> cases = {"9600,E,8,1", "9600,O,8,1", "9600,M,8,1",  "9600,S,8,1",
                                          "9600,N,7,1", "9600,N,5,1", "9600,N,8,1.5"};
  port_.SetCommPort(kComPty);
  for (const std::string& text : cases) {
    port_.SetSettings(text);
    EXPECT_EQ(ErrorOf([&] { port_.SetPortOpen(true); }), kErrCommState) << text;
    EXPECT_FALSE(port_.PortOpen()) << text;
    EXPECT_EQ(port_.Settings(), text);
  }
  port_.SetSettings("9600,N,8,1");
  port_.SetPortOpen(true);
  EXPECT_TRUE(port_.PortOpen());
}

TEST_F(SerialPortTest, LineSettingsTheDeviceCannotTakeLeaveTheOldOnesWhileOpen) {
  port_.SetSettings("2400,N,8,2");
  OpenPty();
  for (const std::string text : {"19200,E,7,1", "19200,N,8,1.5", "19200,O,8,1"}) {
    EXPECT_EQ(ErrorOf([&] { port_.SetSettings(text); }), kErrCommState) << text;
    EXPECT_EQ(port_.Settings(), "2400,N,8,2") << text;
    const termios t = pty_.SlaveTermios();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B2400)) << text;
    EXPECT_NE(t.c_cflag & CSTOPB, 0u) << text;
  }
  port_.Output(Text("still fine"));
  EXPECT_EQ(pty_.Read(10), Text("still fine"));
}

TEST_F(SerialPortTest, BadSettingsAreRefusedAndTheOldOnesStay) {
  const std::vector<std::string> bad = {"12345,N,8,1",
                                        "19200,N,8",
                                        "abc",
                                        "19200,X,8,1",
                                        "",
                                        "19200,N,9,1",
                                        "19200,N,4,1",
                                        "19200,N,8,3",
                                        "19200,N,8,1,",
                                        ",N,8,1",
                                        "-9600,N,8,1",
                                        "19200,NN,8,1",
                                        "19200,N,8,1.0",
                                        " 9600,N,8,1",
                                        "9600,N,8,0",
                                        "9600;N;8;1",
                                        "9600,,8,1",
                                        "4294976896,N,8,1"};
  port_.SetSettings("2400,E,7,2");
  for (const std::string& text : bad) {
    EXPECT_EQ(ErrorOf([&] { port_.SetSettings(text); }), kErrInvalidProperty) << '"' << text << '"';
    EXPECT_EQ(port_.Settings(), "2400,E,7,2") << '"' << text << '"';
  }
  port_.SetSettings("2400,N,8,2");
  OpenPty();
  EXPECT_EQ(ErrorOf([&] { port_.SetSettings("12345,N,8,1"); }), kErrInvalidProperty);
  EXPECT_EQ(port_.Settings(), "2400,N,8,2");
  const termios t = pty_.SlaveTermios();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B2400));
}

// ------------------------------------------------------- sending

TEST_F(SerialPortTest, OutputArrivesAtTheFarEndUnchanged) {
  OpenPty();
  Bytes all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  port_.Output(all);
  EXPECT_EQ(pty_.Read(all.size()), all);
  EXPECT_EQ(port_.OutBufferCount(), 0);
}

TEST_F(SerialPortTest, EmptyOutputSendsNothing) {
  OpenPty();
  port_.Output({});
  EXPECT_EQ(port_.OutBufferCount(), 0);
  EXPECT_TRUE(pty_.ReadAvailable(20).empty());
}

TEST_F(SerialPortTest, OutBufferCountDrainsWithoutAnEventLoop) {
  OpenPty();
  const Bytes big = Pattern(256 * 1024);
  port_.Output(big);  // far more than the terminal takes while nobody reads
  EXPECT_GT(port_.OutBufferCount(), 0);

  Bytes got;
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  int waiting = port_.OutBufferCount();
  while ((waiting > 0 || got.size() < big.size()) && Clock::now() < deadline) {
    const Bytes part = pty_.ReadAvailable(5);
    got.insert(got.end(), part.begin(), part.end());
    waiting = port_.OutBufferCount();  // hands on what the terminal now takes
  }
  EXPECT_EQ(port_.OutBufferCount(), 0);
  EXPECT_TRUE(got == big) << "received " << got.size() << " of " << big.size();
}

// ------------------------------------------------------- receiving

TEST_F(SerialPortTest, ReceivedBytesAreCountedAndReadOnce) {
  OpenPty();
  const Bytes reply = {0xAA, 0x06, 0x00, 0xFF, 0x0D, 0x0A, 0x11, 0x13};
  pty_.Write(reply);
  EXPECT_EQ(WaitForCount(port_, static_cast<int>(reply.size())), static_cast<int>(reply.size()));
  EXPECT_EQ(port_.Input(), reply);
  EXPECT_EQ(port_.InBufferCount(), 0);
  EXPECT_TRUE(port_.Input().empty());
}

TEST_F(SerialPortTest, BytesAccumulateAcrossPolls) {
  OpenPty();
  pty_.Write(Text("abc"));
  EXPECT_EQ(WaitForCount(port_, 3), 3);
  pty_.Write(Text("defg"));
  EXPECT_EQ(WaitForCount(port_, 7), 7);
  EXPECT_EQ(port_.Input(), Text("abcdefg"));
}

TEST_F(SerialPortTest, ReceiveBufferKeepsTheFirst1024BytesAndLosesTheRest) {
  OpenPty();
  const Bytes sent = Pattern(1500, 3);
  pty_.Write(sent);
  ASSERT_TRUE(pty_.WaitQueued(1500));  // all of it waits before the first poll
  EXPECT_EQ(port_.InBufferCount(), 1024);
  EXPECT_EQ(port_.Input(), Bytes(sent.begin(), sent.begin() + 1024));
  EXPECT_EQ(port_.InBufferCount(), 0);  // lost, not held back
}

TEST_F(SerialPortTest, ReceiveBufferOverrunsAcrossSeveralPolls) {
  OpenPty();
  const Bytes first = Pattern(700, 1);
  const Bytes second = Pattern(700, 2);
  pty_.Write(first);
  EXPECT_EQ(WaitForCount(port_, 700), 700);
  pty_.Write(second);
  ASSERT_TRUE(pty_.WaitQueued(700));
  EXPECT_EQ(port_.InBufferCount(), 1024);
  Bytes expected = first;
  expected.insert(expected.end(), second.begin(), second.begin() + 324);
  EXPECT_EQ(port_.Input(), expected);
  pty_.Write(Text("after"));
  EXPECT_EQ(WaitForCount(port_, 5), 5);
  EXPECT_EQ(port_.Input(), Text("after"));
}

TEST_F(SerialPortTest, ReceiveBufferFollowsInBufferSize) {
  port_.SetInBufferSize(16);
  OpenPty();
  pty_.Write(Pattern(40));
  ASSERT_TRUE(pty_.WaitQueued(40));
  EXPECT_EQ(port_.InBufferCount(), 16);
  EXPECT_EQ(port_.Input(), Pattern(16));
}

TEST_F(SerialPortTest, SettingInBufferCountToZeroDiscardsEverything) {
  OpenPty();
  pty_.Write(Text("stale"));
  EXPECT_EQ(WaitForCount(port_, 5), 5);
  pty_.Write(Text("older"));  // still in the terminal, not polled yet
  ASSERT_TRUE(pty_.WaitQueued(5));
  port_.SetInBufferCount(0);
  EXPECT_EQ(port_.InBufferCount(), 0);
  EXPECT_TRUE(port_.Input().empty());
  EXPECT_EQ(pty_.Queued(), 0);
  pty_.Write(Text("fresh"));
  EXPECT_EQ(WaitForCount(port_, 5), 5);
  EXPECT_EQ(port_.Input(), Text("fresh"));
}

TEST_F(SerialPortTest, APortOpensWithNothingReceived) {
  OpenPty();
  pty_.Write(Text("before close"));
  EXPECT_EQ(WaitForCount(port_, 12), 12);
  port_.SetPortOpen(false);
  EXPECT_EQ(port_.InBufferCount(), 0);
  pty_.Write(Text("while closed"));
  ASSERT_TRUE(pty_.WaitQueued(12));
  port_.SetPortOpen(true);
  EXPECT_EQ(port_.InBufferCount(), 0);
}

// ------------------------------------------------------- closed port

TEST_F(SerialPortTest, ClosedPortReadsZeroAndRefusesTransfers) {
  EXPECT_EQ(port_.InBufferCount(), 0);
  EXPECT_EQ(port_.OutBufferCount(), 0);
  EXPECT_EQ(ErrorOf([&] { port_.SetInBufferCount(0); }), 0);
  EXPECT_EQ(ErrorOf([&] { port_.Input(); }), kErrDeviceNotOpen);
  EXPECT_EQ(ErrorOf([&] { port_.Output(Text("x")); }), kErrDeviceNotOpen);
}

TEST_F(SerialPortTest, OutOfRangePropertyValuesAreRefused) {
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"Handshaking 4", [&] { port_.SetHandshaking(4); }},
      {"Handshaking -1", [&] { port_.SetHandshaking(-1); }},
      {"InBufferSize 0", [&] { port_.SetInBufferSize(0); }},
      {"OutBufferSize 0", [&] { port_.SetOutBufferSize(0); }},
      {"InBufferCount 5", [&] { port_.SetInBufferCount(5); }},
      {"InputMode 2", [&] { port_.SetInputMode(2); }},
      {"InputLen -1", [&] { port_.SetInputLen(-1); }},
      {"SThreshold -1", [&] { port_.SetSThreshold(-1); }},
      {"RThreshold -1", [&] { port_.SetRThreshold(-1); }},
  };
  for (const auto& [name, call] : cases) EXPECT_EQ(ErrorOf(call), kErrInvalidProperty) << name;
}

TEST_F(SerialPortTest, PortSetUpAsTheProgramDoesIt) {
  port_.SetRTSEnable(true);
  port_.SetDTREnable(true);
  port_.SetHandshaking(0);
  port_.SetInBufferSize(1024);
  port_.SetOutBufferSize(512);
  port_.SetInBufferCount(0);
  port_.SetSettings("19200,N,8,1");
  port_.SetInputMode(1);
  port_.SetInputLen(0);
  port_.SetSThreshold(0);
  port_.SetRThreshold(0);
  OpenPty();
  EXPECT_EQ(port_.Settings(), "19200,N,8,1");
  // Modem lines and flow control while open are no errors on a terminal
  // without them either.
  EXPECT_EQ(ErrorOf([&] { port_.SetRTSEnable(false); }), 0);
  EXPECT_EQ(ErrorOf([&] { port_.SetDTREnable(false); }), 0);
  EXPECT_EQ(ErrorOf([&] { port_.SetHandshaking(2); }), 0);
  EXPECT_EQ(ErrorOf([&] { port_.SetHandshaking(0); }), 0);
  port_.Output(Text("~00"));
  EXPECT_EQ(pty_.Read(3), Text("~00"));
}

// ------------------------------------------------------- lost device

TEST_F(SerialPortTest, DeviceThatVanishesIsReportedNotHung) {
  OpenPty();
  pty_.CloseMaster();
  const auto start = Clock::now();
  EXPECT_EQ(ErrorOf([&] { port_.InBufferCount(); }), kErrReadDevice);
  EXPECT_EQ(ErrorOf([&] { port_.Input(); }), kErrReadDevice);
  EXPECT_EQ(ErrorOf([&] { port_.Output(Text("lost")); }), kErrWriteDevice);
  EXPECT_EQ(ErrorOf([&] { port_.OutBufferCount(); }), kErrWriteDevice);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
  port_.SetPortOpen(false);
  EXPECT_FALSE(port_.PortOpen());
}

}  // namespace
}  // namespace kbx
