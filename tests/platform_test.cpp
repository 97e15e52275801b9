// The serial port layer against a real pseudo-terminal: the port under test
// opens the slave side, the test plays the far end on the master side.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/port_lock.h"
#include "platform/port_map.h"
#include "platform/qt_serial_control.h"
#include "platform/run_time_error.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

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
  SerialPortTest() : port_(map_, locks_.path) { map_.Map(kComPty, pty_.path); }

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
  TempFolder locks_;
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
                                                          {"/dev/null", kErrInvalidPortNumber},
                                                          {pty_.path, kErrPortAlreadyOpen}};
  for (const auto& [device, error] : cases) {
    QtSerialControl other(map_, locks_.path);
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

// ------------------------------------------ ports held, and paths that are no port

std::string AsciiPid(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

std::string BinaryPid(pid_t pid) {
  const std::int32_t value = pid;
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string ProgramOf(const std::string& pid) {
  std::ifstream comm("/proc/" + pid + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

pid_t Spawn(const char* program, const char* argument = nullptr) {
  std::string name = program;
  std::string arg = argument != nullptr ? argument : "";
  char* argv[] = {name.data(), argument != nullptr ? arg.data() : nullptr, nullptr};
  pid_t pid = 0;
  EXPECT_EQ(::posix_spawnp(&pid, program, nullptr, nullptr, argv, environ), 0) << program;
  return pid;
}

// A program that runs until the test ends: a live holder of lock files.
struct Sleeper {
  Sleeper() : pid(Spawn("sleep", "60")) {
    // Until the child has become sleep, it is a copy of this program.
    for (int waited = 0; waited < 5000 && ProgramOf(std::to_string(pid)) != "sleep"; ++waited)
      std::this_thread::sleep_for(1ms);
  }
  ~Sleeper() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  const pid_t pid;
};

// The pid of a process that has ended.
pid_t EndedPid() {
  const pid_t pid = Spawn("true");
  ::waitpid(pid, nullptr, 0);
  return pid;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class PortLockTest : public SerialPortTest {
 protected:
  PortLockTest() { port_.SetCommPort(kComPty); }

  // The classic lock file of the pseudo-terminal: LCK..7 for /dev/pts/7.
  std::string LockFile() const { return locks_.path + "/LCK.." + pty_.path.substr(pty_.path.rfind('/') + 1); }
  // The one a Qt program takes for it: LCK..pts_7.
  std::string QtLockFile() const {
    return locks_.path + "/LCK..pts_" + pty_.path.substr(pty_.path.rfind('/') + 1);
  }

  std::vector<std::string> LockFolder() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(locks_.path))
      names.push_back(entry.path().filename().string());
    return names;
  }
};

TEST_F(PortLockTest, OurLockFileAndFlockMarkThePortWhileWeHoldItAndGoWithIt) {
  port_.SetPortOpen(true);
  EXPECT_EQ(ReadFile(LockFile()), AsciiPid(::getpid()));
  EXPECT_EQ(LockFolder().size(), 1u);  // no temporary file left beside it

  const int other = ::open(pty_.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  const int locked = ::flock(other, LOCK_EX | LOCK_NB);
  const int error = errno;
  EXPECT_NE(locked, 0);
  EXPECT_EQ(error, EWOULDBLOCK);

  QtSerialControl second(map_, locks_.path);
  second.SetCommPort(kComPty);
  EXPECT_EQ(ErrorOf([&] { second.SetPortOpen(true); }), kErrPortAlreadyOpen);
  EXPECT_EQ(second.LastFailure().holderPid, ::getpid());
  EXPECT_TRUE(Contains(second.LastFailure().reason, "in use by this program")) << second.LastFailure().reason;

  port_.SetPortOpen(false);
  EXPECT_TRUE(LockFolder().empty());
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
  second.SetPortOpen(true);
  EXPECT_EQ(ReadFile(LockFile()), AsciiPid(::getpid()));
}

TEST_F(PortLockTest, APortHeldByAnotherProgramGives8005AndNamesTheHolder) {
  const Sleeper sleeper;
  const std::string sleeping = "process " + std::to_string(sleeper.pid) + " (sleep)";
  struct Case {
    std::string what;
    std::string file;
    std::string content;
    pid_t holder;
  };
  const std::vector<Case> cases = {
      {"ASCII pid of a live process", LockFile(), AsciiPid(sleeper.pid), sleeper.pid},
      {"binary pid of a live process", LockFile(), BinaryPid(sleeper.pid), sleeper.pid},
      {"a Qt program's lock file", QtLockFile(), std::to_string(sleeper.pid) + "\nsleep\nhost\n",
       sleeper.pid},
      {"a lock file still being written", LockFile(), "", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(c.file, c.content);
    EXPECT_EQ(ErrorOf([&] { port_.SetPortOpen(true); }), kErrPortAlreadyOpen);
    EXPECT_FALSE(port_.PortOpen());
    const PortFailure& failure = port_.LastFailure();
    EXPECT_EQ(failure.number, kErrPortAlreadyOpen);
    EXPECT_EQ(failure.device, pty_.path);
    EXPECT_EQ(failure.holderPid, c.holder);
    EXPECT_EQ(failure.holderProgram, c.holder > 0 ? "sleep" : "");
    EXPECT_TRUE(Contains(failure.reason, c.file)) << failure.reason;
    EXPECT_EQ(Contains(failure.reason, sleeping), c.holder > 0) << failure.reason;
    EXPECT_FALSE(failure.fix.empty());
    EXPECT_EQ(ReadFile(c.file), c.content);  // another program's: left as it was
    EXPECT_EQ(LockFolder().size(), 1u);
    std::filesystem::remove(c.file);
  }

  // flock() by another open file of the device, without any lock file.
  const int other = ::open(pty_.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(ErrorOf([&] { port_.SetPortOpen(true); }), kErrPortAlreadyOpen);
  EXPECT_EQ(port_.LastFailure().holderPid, ::getpid());
  EXPECT_EQ(port_.LastFailure().holderProgram, ProgramOf("self"));
  EXPECT_TRUE(Contains(port_.LastFailure().reason, "flock()")) << port_.LastFailure().reason;
  EXPECT_TRUE(LockFolder().empty());  // the lock file we had made is gone again
  ::close(other);

  port_.SetPortOpen(true);
  EXPECT_TRUE(port_.PortOpen());
}

TEST_F(PortLockTest, AStaleLockFileIsTakenOverAndOursGoesWithThePort) {
  const pid_t ended = EndedPid();
  const std::vector<std::pair<std::string, std::string>> stale = {
      {"ASCII pid of an ended process", AsciiPid(ended)},
      {"binary pid of an ended process", BinaryPid(ended)},
      {"no pid, written a minute ago", "garbage\n"}};
  for (const auto& [what, content] : stale) {
    SCOPED_TRACE(what);
    WriteFile(LockFile(), content);
    const timespec minuteAgo[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, LockFile().c_str(), minuteAgo, 0), 0);
    port_.SetPortOpen(true);
    EXPECT_EQ(ReadFile(LockFile()), AsciiPid(::getpid()));
    port_.SetPortOpen(false);
    EXPECT_TRUE(LockFolder().empty());
  }
}

TEST_F(PortLockTest, WithoutALockFolderToWriteToThePortOpensWithoutALockFile) {
  for (const std::string& folder : {locks_.path + "/missing", std::string()}) {
    QtSerialControl port(map_, folder);
    port.SetCommPort(kComPty);
    port.SetPortOpen(true);
    EXPECT_TRUE(port.PortOpen()) << folder;
    EXPECT_TRUE(LockFolder().empty()) << folder;
  }
}

TEST_F(PortLockTest, APathThatIsNoSerialPortGives8002SaysWhatItIsAndStaysAsItWas) {
  const TempFolder things;
  const std::string file = things.path + "/file";
  const std::string folder = things.path + "/folder";
  const std::string fifo = things.path + "/fifo";
  WriteFile(file, "keep me\n");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {file, "is a regular file, not a serial port"},
      {folder, "is a folder, not a serial port"},
      {fifo, "is a named pipe (FIFO), not a serial port"},
      {"/dev/null", "is a device but no terminal, so not a serial port"}};
  for (const auto& [path, says] : cases) {
    SCOPED_TRACE(path);
    map_.Map(8, path);
    port_.SetCommPort(8);
    EXPECT_EQ(ErrorOf([&] { port_.SetPortOpen(true); }), kErrInvalidPortNumber);
    EXPECT_EQ(port_.LastFailure().device, path);
    EXPECT_EQ(port_.LastFailure().reason, path + " " + says);
  }
  map_.Map(9, kMissingDevice);
  EXPECT_EQ(ErrorOf([&] { port_.SetCommPort(9); }), kErrInvalidPortNumber);
  EXPECT_EQ(port_.LastFailure().reason, std::string("COM9 is ") + kMissingDevice + ", which does not exist");

  EXPECT_EQ(ReadFile(file), "keep me\n");
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
  EXPECT_TRUE(LockFolder().empty());
}

TEST_F(PortLockTest, ADevicePathWithBytesThatAreNoUtf8Opens) {
  const TempFolder links;
  const std::string link = links.path + "/ups-\xff\xfe\x80";
  ASSERT_EQ(::symlink(pty_.path.c_str(), link.c_str()), 0);
  map_.Map(8, link);
  port_.SetCommPort(8);
  port_.SetPortOpen(true);
  port_.Output(Text("through the link"));
  EXPECT_EQ(pty_.Read(16), Text("through the link"));
  EXPECT_EQ(ReadFile(LockFile()), AsciiPid(::getpid()));  // the device's lock, not the link's
}

// Runs the probe as nobody on the pseudo-terminal; its lines, none when it
// cannot be run.
std::vector<std::string> ProbeAsNobody(const std::string& device, const std::string& lockFolder) {
  const std::string command = "setpriv --reuid=nobody --regid=nogroup --clear-groups " KBX_PORT_OPEN_PROBE
                              " " +
                              device + " " + lockFolder + " 2>/dev/null";
  std::vector<std::string> lines;
  FILE* out = ::popen(command.c_str(), "r");
  if (out == nullptr) return lines;
  char line[1024];
  while (std::fgets(line, sizeof line, out) != nullptr) {
    lines.emplace_back(line);
    if (!lines.back().empty() && lines.back().back() == '\n') lines.back().pop_back();
  }
  ::pclose(out);
  return lines;
}

TEST_F(PortLockTest, AUserWithoutTheRightsToThePortIsToldWhyAndWhatToDo) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the port to root and try it as another user";
  if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv (util-linux) is not installed";
  ASSERT_EQ(::chmod(locks_.path.c_str(), 0755), 0);  // nobody may look in, not write

  // Allowed to use the port but not to write a lock file: it opens without one.
  ASSERT_EQ(::chmod(pty_.path.c_str(), 0666), 0);
  std::vector<std::string> lines = ProbeAsNobody(pty_.path, locks_.path);
  if (lines.empty())
    GTEST_SKIP() << "the probe cannot be run as nobody (is the build folder closed to others?)";
  EXPECT_EQ(lines.at(0), "0");
  EXPECT_TRUE(LockFolder().empty());

  ASSERT_EQ(::chown(pty_.path.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(pty_.path.c_str(), 0600), 0);
  lines = ProbeAsNobody(pty_.path, locks_.path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::to_string(kErrDeviceNotOpen));
  EXPECT_EQ(lines[1],
            pty_.path + " may not be opened: permission denied (owner root, group root, mode 0600)");
  EXPECT_EQ(lines[2],
            "Add the user to the dialout group (sudo usermod -aG dialout nobody), then log in again.");
}

}  // namespace
}  // namespace kbx
