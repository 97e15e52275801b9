// A stop signal ends the desktop program whatever window is open: at once
// when no command runs, after the running module update otherwise, always
// with 128 + the signal. The program runs as a process on the simulated UPS;
// ui_test closes each of its windows on a signal in-process.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <utility>

#include "support/desktop_probe.h"

namespace kbx {
namespace {

using Clock = std::chrono::steady_clock;
using test::Probe;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(DesktopSignals, AnIdleWindowEndsWithinTwoSeconds) {
  for (const auto& [window, signal] : {std::pair{"frmKBXConfig", SIGINT}, std::pair{"help", SIGHUP}}) {
    Probe probe({window, "--simulate", "290"});
    ASSERT_TRUE(probe.AwaitLine(std::string("up ") + window)) << window;
    const auto sent = Clock::now();
    probe.Signal(signal);
    EXPECT_EQ(probe.ExitStatus(), 128 + signal) << window;
    EXPECT_LT(SecondsSince(sent), 2.0) << window;
  }
}

TEST(DesktopSignals, AModuleUpdateRunsToItsEndThenTheProgramEnds) {
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
  EXPECT_EQ(last, "board: Done");  // the update was finished, not cut
  const double updateSeconds = std::chrono::duration<double>(lastAt - sent).count();
  EXPECT_GT(updateSeconds, 0.5);  // the signal came while it ran
  EXPECT_LT(std::chrono::duration<double>(ended - lastAt).count(), 2.0);
}

}  // namespace
}  // namespace kbx
