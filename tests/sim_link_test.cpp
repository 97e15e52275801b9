// The simulator's link (--link PATH): it replaces only a symbolic link, and it
// goes again on every way out, while nothing it did not make is ever deleted.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sim/pty_simulator.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using namespace std::chrono_literals;

// Where the symbolic link at `path` points; "" when none is there.
std::string LinkTarget(const std::string& path) {
  std::string target(PATH_MAX, '\0');
  const ssize_t size = ::readlink(path.c_str(), target.data(), target.size());
  return size < 0 ? "" : target.substr(0, static_cast<std::size_t>(size));
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// ---------------------------------------------------------------- the object

TEST(SimLink, ReplacesOnlyASymbolicLinkWhenToldAndLeavesAnythingElseAsItWas) {
  const TempFolder folder;
  const std::string file = folder.path + "/file";
  const std::string sub = folder.path + "/folder";
  std::ofstream(file) << "keep me\n";
  ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
  {
    PtySimulator simulator(SimOptions{});
    for (const std::string& path : {file, sub}) {
      EXPECT_THROW(simulator.LinkAt(path), std::invalid_argument) << path;
      EXPECT_EQ(simulator.LinkPath(), "") << path;
    }
  }
  EXPECT_EQ(ReadFile(file), "keep me\n");
  EXPECT_TRUE(std::filesystem::is_directory(sub));

  const std::string link = folder.path + "/ups";
  ASSERT_EQ(::symlink("/dev/kbx-test-gone", link.c_str()), 0);  // dangling, as an earlier run may leave it
  std::string device;
  {
    PtySimulator simulator(SimOptions{});
    // A link the simulator did not make goes only when it is told so.
    EXPECT_THROW(simulator.LinkAt(link), std::invalid_argument);
    EXPECT_EQ(LinkTarget(link), "/dev/kbx-test-gone");
    simulator.LinkAt(link, true);
    device = simulator.SlavePath();
    EXPECT_EQ(LinkTarget(link), device);
    simulator.Unplug();
    EXPECT_FALSE(Exists(link));  // the link goes with the device
    simulator.Replug();
    EXPECT_EQ(LinkTarget(link), simulator.SlavePath());
  }
  EXPECT_FALSE(Exists(link));
}

TEST(SimLink, WhatTookTheLinksPlaceMeanwhileStays) {
  const TempFolder folder;
  const std::string link = folder.path + "/ups";
  for (const bool asFile : {true, false}) {
    SCOPED_TRACE(asFile ? "a file" : "a link elsewhere");
    {
      PtySimulator simulator(SimOptions{});
      simulator.LinkAt(link);
      ASSERT_EQ(::unlink(link.c_str()), 0);
      if (asFile) {
        std::ofstream(link) << "someone else's\n";
      } else {
        ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
      }
    }
    EXPECT_EQ(asFile ? ReadFile(link) : LinkTarget(link), asFile ? "someone else's\n" : "/dev/null");
    ASSERT_EQ(::unlink(link.c_str()), 0);
  }
}

// ---------------------------------------------------------------- the program

// kbx-ups-sim with `args`, its output on a pipe (or on one whose reader has
// gone already, when `readerGone`).
struct Simulator {
  explicit Simulator(const std::vector<std::string>& args, bool readerGone = false) {
    int out[2];
    int err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all = {KBX_SIM_BIN};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (readerGone) ::close(out[0]);
    EXPECT_EQ(::posix_spawn(&pid, KBX_SIM_BIN, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    stdout_ = readerGone ? -1 : out[0];
    stderr_ = err[0];
  }
  ~Simulator() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    if (stdout_ >= 0) ::close(stdout_);
    ::close(stderr_);
  }

  // The first line it prints, waiting up to five seconds for it.
  std::string FirstLine() const {
    std::string line;
    char c = 0;
    for (pollfd pfd{stdout_, POLLIN, 0};
         ::poll(&pfd, 1, 5000) > 0 && ::read(stdout_, &c, 1) == 1 && c != '\n';)
      line += c;
    return line;
  }

  // Its exit status (as waitpid gives it) once it has ended.
  int Wait() {
    int status = 0;
    ::waitpid(std::exchange(pid, 0), &status, 0);
    return status;
  }

  std::string Errors() const {
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(stderr_, buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(n));
    return text;
  }

  pid_t pid = 0;
  int stdout_ = -1;
  int stderr_ = -1;
};

TEST(SimProgram, ALinkOverAnythingButASymbolicLinkExits2AndLeavesItAsItWas) {
  const TempFolder folder;
  const std::string file = folder.path + "/ttyUPS";
  std::ofstream(file) << "keep me\n";
  Simulator simulator({"--link", file});
  const int status = simulator.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(simulator.Errors(),
            "kbx-ups-sim: " + file + " is a regular file, not a symbolic link: it is left as it is\n");
  EXPECT_EQ(ReadFile(file), "keep me\n");
}

// Each stop signal ends the simulator cleanly, and the link it made over a
// dangling one (--force) goes with it.
TEST(SimProgram, EveryStopSignalEndsItAndRemovesItsLink) {
  const TempFolder folder;
  const std::string link = folder.path + "/ttyUPS";
  for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
    SCOPED_TRACE(::strsignal(signal));
    ASSERT_EQ(::symlink("/dev/kbx-test-gone", link.c_str()), 0);
    Simulator simulator({"--link", link, "--force"});
    ASSERT_EQ(simulator.FirstLine(), link);
    EXPECT_TRUE(LinkTarget(link).starts_with("/dev/pts/")) << LinkTarget(link);
    ASSERT_EQ(::kill(simulator.pid, signal), 0);
    const int status = simulator.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(Exists(link));
  }
}

// A device path nobody could read is a failure: said, exit 1, link removed.
TEST(SimProgram, ADevicePathThatCannotBeWrittenEndsItWith1) {
  const TempFolder folder;
  const std::string link = folder.path + "/ttyUPS";
  Simulator simulator({"--link", link}, true);
  const int status = simulator.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(simulator.Errors(), "kbx-ups-sim: cannot write the device path: Broken pipe\n");
  EXPECT_FALSE(Exists(link));
}

// A log that cannot be written ends it at the first request it should note.
TEST(SimProgram, ALogThatCannotBeWrittenEndsItWith1) {
  Simulator simulator({"--log", "/dev/full"});
  const std::string device = simulator.FirstLine();
  const int port = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(port, 0) << device;
  const unsigned char request[] = {0xAB, 0x01, 0xA0, 0xB4};
  ASSERT_EQ(::write(port, request, sizeof request), 4);
  const int status = simulator.Wait();
  ::close(port);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(simulator.Errors(), "kbx-ups-sim: cannot write the log file: No space left on device\n");
}

}  // namespace
}  // namespace kbx
