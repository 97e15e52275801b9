// A stop signal ends the desktop program whatever window is open: at once
// when no command runs, after the running module update otherwise, always
// with 128 + the signal. The program runs as a process on the simulated UPS.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>

#include <csignal>
#include <cstdlib>

#include "support/processes.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using Clock = std::chrono::steady_clock;

// The probe as a child process whose stdout we read line by line.
class Probe {
 public:
  explicit Probe(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    test::Streams streams;
    streams.stdoutFd = fds[1];
    std::vector<std::string> all{KBX_DESKTOP_PROBE};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = test::Spawn(all, streams);
    close(fds[1]);
    out_ = fds[0];
  }
  ~Probe() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      test::Wait(pid_);
    }
    close(out_);
  }

  // The next line it writes; "" at its end or after `seconds`.
  std::string Line(int seconds = 30) {
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      if (const auto eol = buffer_.find('\n'); eol != std::string::npos) {
        std::string line = buffer_.substr(0, eol);
        buffer_.erase(0, eol + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      pollfd pfd{out_, POLLIN, 0};
      if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) return "";
      char chunk[256];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  // Reads until the line comes; false when it did not.
  bool AwaitLine(const std::string& wanted) {
    for (std::string line = Line(); !line.empty(); line = Line()) {
      if (line == wanted) return true;
    }
    return false;
  }
  void Signal(int signal) { kill(pid_, signal); }
  // Reads to the end of its output (nothing for 5 s counts as the end); the
  // exit status once it has ended, -1 when a signal ended it, -2 while it runs.
  int ExitStatus() {
    while (!Line(5).empty()) {
    }
    int status = 0;
    const auto end = Clock::now() + std::chrono::seconds(2);  // its output closes a moment before it ends
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
      if (Clock::now() > end) return -2;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = 0;
  int out_ = -1;
  std::string buffer_;
};

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class DesktopSignals : public ::testing::Test {
 protected:
  DesktopSignals() { setenv("KBX_LOCK_DIR", locks.path.c_str(), 1); }
  ~DesktopSignals() override { unsetenv("KBX_LOCK_DIR"); }
  TempFolder locks;
};

TEST_F(DesktopSignals, AnIdleWindowEndsWithinTwoSeconds) {
  struct Case {
    const char* window;
    int signal;
  };
  for (const Case& c : {Case{"frmKBXConfig", SIGTERM}, Case{"frmAbout", SIGINT}, Case{"frmSettings", SIGHUP},
                        Case{"help", SIGTERM}}) {
    Probe probe({c.window, "--simulate", "290"});
    ASSERT_TRUE(probe.AwaitLine(std::string("up ") + c.window)) << c.window;
    const auto sent = Clock::now();
    probe.Signal(c.signal);
    EXPECT_EQ(probe.ExitStatus(), 128 + c.signal) << c.window;
    EXPECT_LT(SecondsSince(sent), 2.0) << c.window;
  }
}

TEST_F(DesktopSignals, TheStartUpBoxOfAHeldPortEndsWithinTwoSeconds) {
  TempFolder logs;
  test::SimulatorProcess sim(KBX_SIM_BIN, logs.path + "/sim.log", {});
  // Another program holds the port, as serial programs hold one.
  const int held = open(sim.Device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  Probe probe({"startUpBox", "--com", "1=" + sim.Device()});
  ASSERT_TRUE(probe.AwaitLine("up startUpBox"));
  const auto sent = Clock::now();
  probe.Signal(SIGTERM);
  EXPECT_EQ(probe.ExitStatus(), 128 + SIGTERM);
  EXPECT_LT(SecondsSince(sent), 2.0);
  close(held);
}

TEST_F(DesktopSignals, AModuleUpdateRunsToItsEndThenTheProgramEnds) {
  Probe probe({"update", "--simulate", "290"});
  ASSERT_TRUE(probe.AwaitLine("updating"));
  const auto sent = Clock::now();
  probe.Signal(SIGTERM);
  std::string last;
  auto lastAt = Clock::now();
  for (std::string line = probe.Line(); !line.empty(); line = probe.Line()) {
    last = line;
    lastAt = Clock::now();
  }
  const auto ended = Clock::now();
  EXPECT_EQ(probe.ExitStatus(), 128 + SIGTERM);
  RecordProperty("update_seconds_after_signal", std::to_string(SecondsSince(sent)));
  EXPECT_EQ(last, "board: Done");  // the update was finished, not cut
  const double updateSeconds = std::chrono::duration<double>(lastAt - sent).count();
  EXPECT_GT(updateSeconds, 0.5);  // the signal came while it ran
  EXPECT_LT(std::chrono::duration<double>(ended - lastAt).count(), 2.0);
}

}  // namespace
}  // namespace kbx
