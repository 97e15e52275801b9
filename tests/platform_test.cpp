// The serial port layer against a real pseudo-terminal: the port under test
// opens the slave side, the test plays the far end on the master side.

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/baud_rates.h"
#include "platform/clock.h"
#include "platform/line_settings.h"
#include "platform/port_map.h"
#include "platform/pseudo_terminal.h"
#include "platform/run_time_error.h"
#include "platform/stop_signals.h"
#include "platform/tty_port.h"
#include "support/port_errors.h"
#include "support/processes.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using test::ThrownNumber;
using test::WhyOpenFails;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kComPty = 7;
constexpr char kMissingDevice[] = "/dev/kbx-test-no-such-device";

// The far end of the port: a pseudo-terminal whose master side the test
// plays; it keeps a descriptor of the slave side so that the port may close
// and reopen without a hang-up.
struct Pty : PseudoTerminal {
  // What the far end receives until `count` bytes have come or `ms` passed.
  Bytes Received(std::size_t count, int ms = 1000) {
    Bytes out;
    for (const auto end = Clock::now() + std::chrono::milliseconds(ms);
         out.size() < count && Clock::now() < end;) {
      const Bytes part = Read(1);
      out.insert(out.end(), part.begin(), part.end());
    }
    return out;
  }

  // Waits until exactly `count` bytes written at the far end wait, unread, on the slave side.
  bool WaitQueued(int count) const {
    const int slave = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    const auto deadline = Clock::now() + 1s;
    int n = 0;
    while (::ioctl(slave, FIONREAD, &n) == 0 && n < count && Clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    ::close(slave);
    return n == count;
  }

  const std::string path = SlavePath();
};

Bytes Pattern(std::size_t size, int seed = 0) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return b;
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// Polls the receive count until it reaches `count` or a second has passed.
int WaitForCount(SerialPort& port, int count) {
  const auto deadline = Clock::now() + 1s;
  int n = 0;
  while ((n = port.BytesWaiting()) < count && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  return n;
}

PortRequest Request(int number, const LineSettings& settings = {}) {
  PortRequest request;
  request.commPort = number;
  request.settings = settings;
  return request;
}

// The lock file of a device: LCK..7 for /dev/pts/7.
std::string LockName(const std::string& device) {
  return "LCK.." + device.substr(device.rfind('/') + 1);
}

class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest() : port_(map_, locks_.path) { map_.Map(kComPty, pty_.path); }

  void OpenPty(const LineSettings& settings = {}) {
    port_.Open(Request(kComPty, settings));
    ASSERT_TRUE(port_.IsOpen());
  }

  std::string LockFile() const { return locks_.path + "/" + LockName(pty_.path); }

  std::vector<std::string> LockFolder() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(locks_.path))
      names.push_back(entry.path().filename().string());
    return names;
  }

  Pty pty_;
  PortMap map_;
  TempFolder locks_;
  TtyPort port_;
};

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
    EXPECT_EQ(std::tie(number, device), std::tie(expectedNumber, expectedDevice)) << text;
  }
  for (const std::string text :
       {"0=/dev/ttyUSB0", "-1=/dev/ttyS0", "+2=/dev/ttyS0", "=/dev/ttyS0", "3=", "3", "", "x=/dev/ttyS0",
        "3 =/dev/ttyS0", "32768=/dev/ttyS0", "99999999999=/dev/ttyS0"}) {
    EXPECT_FALSE(PortMap::ParseMapping(text, number, device)) << text;
    EXPECT_EQ(std::tie(number, device), std::tuple(1, here + "x=y")) << text;
  }
}

// Closed, the port has nothing and refuses transfers; each open starts with
// nothing received; a number without a device, or an open port, refuses to
// open and keeps what is in force; a device that vanishes fails every verb.
TEST_F(SerialPortTest, OpensAfreshEachTimeAndRefusesWhatItCannotOpen) {
  EXPECT_EQ(port_.BytesWaiting(), 0);
  EXPECT_EQ(port_.PendingOutput(), 0);
  port_.DiscardInput();
  EXPECT_EQ(ThrownNumber([&] { port_.ReadAll(); }), kErrDeviceNotOpen);
  EXPECT_EQ(ThrownNumber([&] { port_.Write(Text("x")); }), kErrDeviceNotOpen);
  port_.Close();  // closing a closed port does nothing
  for (int round = 0; round < 3; ++round) {
    OpenPty();
    EXPECT_EQ(port_.BytesWaiting(), 0) << round;  // what came while closed is gone
    const Bytes hello = Text("round " + std::to_string(round));
    port_.Write(hello);
    EXPECT_EQ(pty_.Received(hello.size()), hello) << round;
    pty_.Write(Text("unread"));
    EXPECT_EQ(WaitForCount(port_, 6), 6) << round;
    port_.Close();
    pty_.Write(Text("while closed"));
    ASSERT_TRUE(pty_.WaitQueued(12));
  }
  map_.Map(9, kMissingDevice);
  for (const int number : {0, -1, 9}) {
    const PortRequest request = Request(number, {4800, 'N', 8, 2});
    EXPECT_EQ(ThrownNumber([&] { port_.Open(request); }), kErrInvalidPortNumber) << number;
    EXPECT_FALSE(port_.IsOpen()) << number;
    // The settings taken, the number in force kept.
    EXPECT_EQ(std::tuple(port_.Describe().commPort, port_.Describe().settings),
              std::tuple(kComPty, LineSettings{4800, 'N', 8, 2}))
        << number;
  }
  OpenPty();
  EXPECT_EQ(ThrownNumber([&] { port_.Open(Request(kComPty)); }), kErrPortAlreadyOpen);
  EXPECT_TRUE(port_.IsOpen());
  // The device vanishes: reported at once, not hung on.
  pty_.Close();
  const auto start = Clock::now();
  EXPECT_EQ(ThrownNumber([&] { port_.BytesWaiting(); }), kErrReadDevice);
  EXPECT_EQ(ThrownNumber([&] { port_.ReadAll(); }), kErrReadDevice);
  EXPECT_EQ(ThrownNumber([&] { port_.Write(Text("lost")); }), kErrWriteDevice);
  EXPECT_EQ(ThrownNumber([&] { port_.PendingOutput(); }), kErrWriteDevice);
  EXPECT_LT(Clock::now() - start, 200ms);
  port_.Close();
  EXPECT_FALSE(port_.IsOpen());
}

TEST(LineSettingsTest, AreTakenOrRefusedAndWrittenInTheirNormalForm) {
  for (const int baud : kBaudRates) EXPECT_TRUE(Supported({baud, 'N', 8, 2})) << baud;
  for (const LineSettings line :
       {LineSettings{12345, 'N', 8, 2}, LineSettings{0, 'N', 8, 2}, LineSettings{9600, 'n', 8, 2},
        LineSettings{9600, 'X', 8, 2}, LineSettings{9600, '\0', 8, 2}, LineSettings{9600, 'N', 4, 2},
        LineSettings{9600, 'N', 9, 2}, LineSettings{9600, 'N', 8, 1}, LineSettings{9600, 'N', 8, 5}})
    EXPECT_FALSE(Supported(line)) << line.baud << line.parity << line.dataBits << line.stopHalves;
  EXPECT_EQ(FormatLineSettings({1200, 'E', 5, 3}), "1200,E,5,1.5");
  EXPECT_EQ(FormatLineSettings({115200, 'S', 7, 4}), "115200,S,7,2");
}

TEST_F(SerialPortTest, LineSettingsReachTheLineOrFailWith8015) {
  // Valid settings, but not for this line: a pseudo-terminal has neither
  // parity nor short characters, and 1.5 stop bits exist at 5 data bits only.
  for (const LineSettings line :
       {LineSettings{9600, 'E', 8, 2}, LineSettings{9600, 'O', 8, 2}, LineSettings{9600, 'M', 8, 2},
        LineSettings{9600, 'S', 8, 2}, LineSettings{9600, 'N', 7, 2}, LineSettings{9600, 'N', 5, 2},
        LineSettings{9600, 'N', 8, 3}}) {
    EXPECT_EQ(ThrownNumber([&] { port_.Open(Request(kComPty, line)); }), kErrCommState)
        << FormatLineSettings(line);
    EXPECT_FALSE(port_.IsOpen()) << FormatLineSettings(line);
  }
  OpenPty({2400, 'N', 8, 4});
  EXPECT_EQ(pty_.LineInForce(), "2400,N,8,2");
  port_.Close();
  const PortRequest unsupported = Request(kComPty, {12345, 'N', 8, 2});
  EXPECT_EQ(ThrownNumber([&] { port_.Open(unsupported); }), kErrInvalidProperty);
  EXPECT_EQ(FormatLineSettings(port_.Describe().settings), "2400,N,8,2");
  OpenPty({115200, 'N', 8, 2});
  EXPECT_EQ(pty_.LineInForce(), "115200,N,8,1");
  port_.Close();
  OpenPty({128000, 'N', 8, 2});  // no termios constant for it
  EXPECT_EQ(pty_.LineInForce(), "128000,N,8,1");
  port_.Write(Pattern(256));  // every byte value, unchanged
  EXPECT_EQ(pty_.Received(257, 100), Pattern(256));
  EXPECT_EQ(port_.PendingOutput(), 0);
}

// Received bytes accumulate across polls and are read once. The receive buffer
// keeps the first inBufferSize bytes and loses the rest. DiscardInput drops
// what it holds and what the terminal holds.
TEST_F(SerialPortTest, ReceiveBufferKeepsTheFirstBytesLosesTheRestAndCanBeEmptied) {
  // Bytes received before the next ones come, bytes waiting in the terminal
  // at the next poll, bytes kept of the 1024 the buffer holds.
  for (const auto [polled, queued, kept] :
       std::vector<std::array<int, 3>>{{3, 300, 303}, {0, 1500, 1024}, {700, 700, 1024}}) {
    SCOPED_TRACE(std::to_string(polled) + "+" + std::to_string(queued));
    OpenPty();
    const Bytes sent = Pattern(polled + queued, 3);
    pty_.Write(Bytes(sent.begin(), sent.begin() + polled));
    EXPECT_EQ(WaitForCount(port_, polled), polled);
    pty_.Write(Bytes(sent.begin() + polled, sent.end()));
    ASSERT_TRUE(pty_.WaitQueued(queued));
    EXPECT_EQ(port_.BytesWaiting(), kept);
    EXPECT_EQ(port_.ReadAll(), Bytes(sent.begin(), sent.begin() + kept));
    EXPECT_EQ(port_.BytesWaiting(), 0);  // lost, not held back
    EXPECT_TRUE(port_.ReadAll().empty());
    pty_.Write(Text("stale"));
    EXPECT_EQ(WaitForCount(port_, 5), 5);
    pty_.Write(Text("older"));  // still in the terminal, not polled yet
    ASSERT_TRUE(pty_.WaitQueued(5));
    port_.DiscardInput();
    EXPECT_EQ(port_.BytesWaiting(), 0);
    EXPECT_TRUE(pty_.WaitQueued(0));
    pty_.Write(Text("fresh"));
    EXPECT_EQ(WaitForCount(port_, 5), 5);
    EXPECT_EQ(port_.ReadAll(), Text("fresh"));
    port_.Close();
  }
}

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

// A program that runs until the test ends: a live holder of the port.
struct Sleeper {
  explicit Sleeper(const std::vector<std::string>& args) : pid(test::Spawn(args)) {
    // Until the child has become sleep, it is a copy of this program.
    for (int waited = 0; waited < 5000 && ProgramOf(std::to_string(pid)) != "sleep"; ++waited)
      std::this_thread::sleep_for(1ms);
  }
  ~Sleeper() {
    ::kill(pid, SIGKILL);
    test::Wait(pid);
  }
  const pid_t pid;
};

// Identity of a file: device and inode; {0, 0} when there is none.
std::pair<dev_t, ino_t> FileId(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {0, 0};
  return {st.st_dev, st.st_ino};
}

TEST_F(SerialPortTest, OurLockFileAndFlockMarkThePortFromTheFirstOpenToTheEndOrAnotherDevice) {
  const int other = ::open(pty_.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  {
    TtyPort first(map_, locks_.path);
    first.Open(Request(kComPty));
    EXPECT_EQ(ReadFile(LockFile()), AsciiPid(::getpid()));
    EXPECT_EQ(LockFolder().size(), 1u);  // no temporary file left beside it
    const auto lockFile = FileId(LockFile());
    // Closed and opened again, as the operations do: nobody gets the port in between.
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(round);
      const int locked = ::flock(other, LOCK_EX | LOCK_NB);
      const int error = errno;
      EXPECT_EQ(std::tie(locked, error), std::tuple(-1, EWOULDBLOCK));
      TtyPort second(map_, locks_.path);
      const PortFailure why = WhyOpenFails(second, Request(kComPty));
      EXPECT_EQ(std::tie(why.number, why.holderPid), std::tuple(kErrPortAlreadyOpen, ::getpid()));
      EXPECT_THAT(why.reason, HasSubstr("in use by this program"));
      EXPECT_EQ(FileId(LockFile()), lockFile);  // the same lock file, never made anew
      if (round % 2 == 0) {
        first.Close();
      } else {
        first.Open(Request(kComPty));
      }
    }
  }
  EXPECT_TRUE(LockFolder().empty());
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::flock(other, LOCK_UN);
  // Without a lock folder to write to, the port opens without a lock file.
  for (const std::string& folder : {locks_.path + "/missing", std::string()}) {
    TtyPort port(map_, folder);
    port.Open(Request(kComPty));
    EXPECT_TRUE(port.IsOpen()) << folder;
    EXPECT_TRUE(LockFolder().empty()) << folder;
  }
  port_.Open(Request(kComPty));
  EXPECT_EQ(ReadFile(LockFile()), AsciiPid(::getpid()));
  // Another device, by a link whose name is no UTF-8, takes its own lock
  // (the device's, not the link's) and gives up the first.
  const Pty second;
  const TempFolder links;
  const std::string link = links.path + "/ups-\xff\xfe\x80";
  ASSERT_EQ(::symlink(second.path.c_str(), link.c_str()), 0);
  map_.Map(8, link);
  port_.Close();
  port_.Open(Request(8));
  EXPECT_THAT(LockFolder(), ::testing::ElementsAre(LockName(second.path)));
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
}

TEST_F(SerialPortTest, APortHeldByAnotherProgramGives8005AndNamesTheHolder) {
  const Sleeper sleeper({"/bin/sleep", "60"});
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
      {"a Qt program's lock file", locks_.path + "/LCK..pts_" + pty_.path.substr(pty_.path.rfind('/') + 1),
       std::to_string(sleeper.pid) + "\nsleep\nhost\n", sleeper.pid},
      {"a lock file still being written", LockFile(), "", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(c.file, c.content);
    const PortFailure failure = WhyOpenFails(port_, Request(kComPty));
    EXPECT_EQ(std::tie(failure.number, failure.device, failure.holderPid, failure.holderProgram),
              std::tuple(kErrPortAlreadyOpen, pty_.path, c.holder, std::string(c.holder > 0 ? "sleep" : "")));
    EXPECT_THAT(failure.reason, HasSubstr(c.file));
    EXPECT_EQ(failure.reason.find(sleeping) != std::string::npos, c.holder > 0) << failure.reason;
    EXPECT_FALSE(failure.fix.empty());
    EXPECT_EQ(ReadFile(c.file), c.content);  // another program's: left as it was
    EXPECT_EQ(LockFolder().size(), 1u);
    std::filesystem::remove(c.file);
  }

  // flock() by another open file of the device, without any lock file.
  const int other = ::open(pty_.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  const PortFailure flocked = WhyOpenFails(port_, Request(kComPty));
  EXPECT_EQ(std::tie(flocked.number, flocked.holderPid, flocked.holderProgram),
            std::tuple(kErrPortAlreadyOpen, ::getpid(), ProgramOf("self")));
  EXPECT_THAT(flocked.reason, HasSubstr("flock()"));
  EXPECT_TRUE(LockFolder().empty());  // the lock file we had made is gone again
  ::close(other);

  // flock() taken by a helper that has ended, for a process that goes on
  // with the descriptor: that process is named.
  {
    const Sleeper holder({"/bin/sh", "-c", "exec 9<>\"$0\" && flock -n 9 && exec sleep 60", pty_.path});
    const PortFailure held = WhyOpenFails(port_, Request(kComPty));
    EXPECT_EQ(std::tie(held.number, held.holderPid, held.holderProgram),
              std::tuple(kErrPortAlreadyOpen, holder.pid, std::string("sleep")));
  }
  port_.Open(Request(kComPty));
  EXPECT_TRUE(port_.IsOpen());
}

TEST_F(SerialPortTest, AStaleLockFileIsTakenOverAndOursGoesWithThePort) {
  const pid_t ended = test::Spawn({"/bin/true"});
  test::Wait(ended);
  for (const std::string& stale : {AsciiPid(ended), BinaryPid(ended), std::string("no pid\n")}) {
    WriteFile(LockFile(), stale);
    // Written a minute ago: no program is still writing it.
    const timespec minuteAgo[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, LockFile().c_str(), minuteAgo, 0), 0);
    {
      TtyPort port(map_, locks_.path);
      port.Open(Request(kComPty));
      EXPECT_EQ(ReadFile(LockFile()), AsciiPid(::getpid())) << stale;
    }
    EXPECT_TRUE(LockFolder().empty()) << stale;
  }
}

TEST_F(SerialPortTest, APathThatIsNoSerialPortGives8002SaysWhatItIsAndStaysAsItWas) {
  const TempFolder things;
  const std::string file = things.path + "/file";
  const std::string folder = things.path + "/folder";
  const std::string fifo = things.path + "/fifo";
  WriteFile(file, "keep me\n");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {file, file + " is a regular file, not a serial port"},
      {folder, folder + " is a folder, not a serial port"},
      {fifo, fifo + " is a named pipe (FIFO), not a serial port"},
      {"/dev/null", "/dev/null is a device but no terminal, so not a serial port"}};
  for (const auto& [path, says] : cases) {
    SCOPED_TRACE(path);
    map_.Map(8, path);
    // The port in force was opened and closed: the failure is the new number's.
    port_.Open(Request(kComPty));
    port_.Close();
    const PortFailure why = WhyOpenFails(port_, Request(8));
    EXPECT_EQ(std::tie(why.number, why.device, why.reason), std::tuple(kErrInvalidPortNumber, path, says));
  }
  EXPECT_EQ(ReadFile(file), "keep me\n");
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
  EXPECT_TRUE(LockFolder().empty());
}

// What nobody is told on opening `device` as COM1: the error number (0: it
// opened), the reason and the fix, a line each; none when nobody cannot be
// become.
std::vector<std::string> OpenAsNobody(const std::string& device, const std::string& lockFolder) {
  const passwd* nobody = ::getpwnam("nobody");
  int said[2];
  if (nobody == nullptr || ::pipe(said) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(said[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)
      ::_exit(1);
    PortMap ports;
    ports.Map(1, device);
    TtyPort port(ports, lockFolder);
    const PortFailure why = WhyOpenFails(port, Request(1));
    const std::string text = std::to_string(why.number) + "\n" + why.reason + "\n" + why.fix + "\n";
    ::_exit(::write(said[1], text.data(), text.size()) == std::ssize(text) ? 0 : 1);
  }
  ::close(said[1]);
  std::string text;
  char buffer[1024];
  for (ssize_t n = 0; (n = ::read(said[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(said[0]);
  test::Wait(child);
  return test::Lines(text);
}

TEST_F(SerialPortTest, AUserWithoutTheRightsToThePortIsToldWhyAndWhatToDo) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the port to root and try it as another user";
  ASSERT_EQ(::chmod(locks_.path.c_str(), 0755), 0);  // nobody may look in, not write

  ASSERT_EQ(::chown(pty_.path.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(pty_.path.c_str(), 0600), 0);
  // The device grants its group nothing: no group would help.
  EXPECT_THAT(
      OpenAsNobody(pty_.path, locks_.path),
      ::testing::ElementsAre(
          std::to_string(kErrDeviceNotOpen),
          pty_.path + " may not be opened: permission denied (owner root, group root, mode 0600)",
          "The device grants its group nothing, so joining a group does not help: ask the administrator "
          "to give it to the dialout group with read and write for that group (a udev rule), then add "
          "the user to dialout."));

  // Its group may read and write it: joining that group does.
  const group* dialout = ::getgrnam("dialout");
  if (dialout == nullptr) GTEST_SKIP() << "no dialout group";
  ASSERT_EQ(::chown(pty_.path.c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(::chmod(pty_.path.c_str(), 0660), 0);
  EXPECT_THAT(
      OpenAsNobody(pty_.path, locks_.path),
      ::testing::ElementsAre(
          std::to_string(kErrDeviceNotOpen), HasSubstr("permission denied (owner root, group dialout"),
          "Add the user to the dialout group (sudo usermod -aG dialout nobody), then log in again."));
}

TEST(StopSignals, ASignalDoesNotShortenAFixedPause) {
  InstallStopSignals(StopMode::kNoteEvery, "platform_test");
  const pthread_t sleeper = pthread_self();
  std::thread signaller([sleeper] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pthread_kill(sleeper, SIGINT);
  });
  SystemClock clock;
  const auto start = std::chrono::steady_clock::now();
  clock.Sleep(300);
  const auto slept = std::chrono::steady_clock::now() - start;
  signaller.join();
  EXPECT_EQ(StopSignal(), SIGINT);
  // Not how fast: that the pause on the line kept its length.
  EXPECT_GE(slept, std::chrono::milliseconds(300));
  ClearStopSignals();
}

}  // namespace
}  // namespace kbx
