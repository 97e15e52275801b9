// The simulator's link (--link PATH): it replaces only a symbolic link, and it
// goes again on every way out, while nothing it did not make is ever deleted.
// (It goes with the device and comes back with it: LineFault in fault_test.)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "sim/pty_simulator.h"
#include "support/processes.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

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

// A link over anything but a symbolic link, or over one the simulator did not
// make without --force, exits 2 and leaves it as it was.
TEST(SimProgram, ALinkOverAnythingItMayNotReplaceExits2AndLeavesItAsItWas) {
  const TempFolder folder;
  const std::string file = folder.path + "/ttyUPS", link = folder.path + "/ups";
  std::ofstream(file) << "keep me\n";
  ASSERT_EQ(::symlink("/dev/kbx-test-gone", link.c_str()), 0);  // dangling, as an earlier run may leave it
  const std::pair<std::string, std::string> cases[] = {
      {file, "is a regular file, not a symbolic link: it is left as it is"},
      {link, "is a symbolic link the simulator did not make: it is left as it is (--force replaces it)"}};
  for (const auto& [path, why] : cases) {
    const test::ProgramRun run = test::RunProgram({KBX_SIM_BIN, "--link", path});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "kbx-ups-sim: " + path + " " + why + "\n");
  }
  EXPECT_EQ(ReadFile(file), "keep me\n");
  EXPECT_EQ(LinkTarget(link), "/dev/kbx-test-gone");
}

// Each stop signal ends the simulator cleanly, and the link it made over a
// dangling one (--force) goes with it. Its path, of any bytes, is used as given.
TEST(SimProgram, EveryStopSignalEndsItAndRemovesItsLink) {
  const TempFolder folder;
  const std::string link = folder.path + "/ups-\xff\xfe";
  for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
    SCOPED_TRACE(::strsignal(signal));
    ASSERT_EQ(::symlink("/dev/kbx-test-gone", link.c_str()), 0);
    const test::ProgramRun run =
        test::RunProgram({KBX_SIM_BIN, "--link", link, "--force"}, [&](pid_t pid, const std::string& line) {
          EXPECT_EQ(line, link);
          EXPECT_TRUE(LinkTarget(link).starts_with("/dev/pts/")) << LinkTarget(link);
          ::kill(pid, signal);
        });
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, link + "\n");
    EXPECT_FALSE(Exists(link));
  }
}

// A device path nobody could read is a failure: said, exit 1, link removed.
TEST(SimProgram, ADevicePathThatCannotBeWrittenEndsItWith1) {
  const TempFolder folder;
  const std::string link = folder.path + "/ttyUPS";
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  ::close(out[0]);  // the reader has gone
  test::Streams streams;
  streams.stdoutFd = out[1];
  streams.stderrPath = folder.path + "/err";
  const int status = test::Wait(test::Spawn({KBX_SIM_BIN, "--link", link}, streams));
  ::close(out[1]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(ReadFile(streams.stderrPath), "kbx-ups-sim: cannot write the device path: Broken pipe\n");
  EXPECT_FALSE(Exists(link));
}

// A log that cannot be written ends it at the first request it should note.
TEST(SimProgram, ALogThatCannotBeWrittenEndsItWith1) {
  int port = -1;
  const test::ProgramRun run =
      test::RunProgram({KBX_SIM_BIN, "--log", "/dev/full"}, [&](pid_t, const std::string& device) {
        port = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        const unsigned char request[] = {0xAB, 0x01, 0xA0, 0xB4};
        EXPECT_EQ(::write(port, request, sizeof request), 4) << device;
      });
  ::close(port);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "kbx-ups-sim: cannot write the log file: No space left on device\n");
}

}  // namespace
}  // namespace kbx
