// kbx as a process against the simulator program, where only real signals,
// real pipes, real descriptors and real locks will do: two signals with
// --json, output that cannot be written, the lock file on every end.
// Each run takes seconds of real time (the fixed pauses of the protocol):
// `make test-e2e`.
#include <fcntl.h>

#include <cstdlib>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/json_reader.h"
#include "support/processes.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using ::testing::ElementsAre;
using Request = std::vector<std::uint8_t>;

class KbxProcess : public ::testing::Test {
 protected:
  TempFolder temp;  // removed with what the test left in it
  std::string folder = temp.path;
  std::string log = folder + "/requests.log";
  std::string out = folder + "/out";
  std::string err = folder + "/err";

  std::vector<std::string> Kbx(const std::string& device, std::vector<std::string> commands) {
    std::vector<std::string> args{KBX_BIN, "--com", "1=" + device};
    args.insert(args.end(), commands.begin(), commands.end());
    return args;
  }
  // kbx on `device`, writing to `out` and `err`.
  pid_t Start(const std::string& device, const std::vector<std::string>& commands) {
    test::Streams streams;
    streams.stdoutPath = out;
    streams.stderrPath = err;
    return test::Spawn(Kbx(device, commands), streams);
  }
};

// Two signals while the runtime is read: the second stops kbx at once, and
// the one JSON object still goes out, with the same errors as stderr.
TEST_F(KbxProcess, WithJsonTwoSignalsStillGiveOneObject) {
  test::SimulatorProcess sim(KBX_SIM_BIN, log, {"--type", "290"});
  const pid_t kbx = Start(sim.Device(), {"--json", "runtime", "modules", "1", "--yes"});
  ASSERT_TRUE(test::AwaitRequest(log, 0x34));  // the runtime's meter request
  kill(kbx, SIGINT);
  usleep(100 * 1000);  // two of the same signal, each taken on its own
  kill(kbx, SIGINT);
  const int status = test::Wait(kbx);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  const std::vector<std::string> said = test::Lines(ReadFile(err));
  EXPECT_THAT(said,
              ElementsAre("kbx: finishing runtime; press Ctrl-C again to stop now",
                          "kbx: interrupted (SIGINT) during runtime: stopped at once by a second signal; "
                          "modules 1, disconnect were not run"));
  const std::string text = ReadFile(out);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  const test::Json json = test::ReadJson(text);
  EXPECT_EQ(json["interrupted"].Text(), "SIGINT");
  EXPECT_EQ(json["device"].Text(), sim.Device());
  EXPECT_EQ(json["modules"]["why"].Text(), "stopped at once by a second signal");
  std::vector<std::string> errors;
  for (const auto& line : said) errors.push_back(line.substr(5));
  EXPECT_EQ(json["errors"].Strings(), errors);
  for (const auto& request : test::RequestsInLog(log)) EXPECT_NE(request.front(), 0x78) << "no update began";
}

// Output or a trace that cannot be written: the session goes out in full,
// then kbx says so and ends with 1.
TEST_F(KbxProcess, OutputThatCannotBeWrittenStopsNothingAndIsAnError) {
  struct Case {
    const char* what;
    std::string stdoutPath;
    bool pipeClosedAfterFirstLine;
    const char* trace;  // nullptr: none
    const char* error;
  } cases[] = {
      {"a reader that goes after the first line", "", true, nullptr,
       "could not write the output: Broken pipe"},
      {"the trace on /dev/full", out, false, "/dev/full", "could not write the trace file \"/dev/full\""},
  };

  for (const Case& c : cases) {
    test::SimulatorProcess sim(KBX_SIM_BIN, log, {"--type", "290"});
    test::Streams streams;
    streams.stderrPath = err;
    streams.stdoutPath = c.stdoutPath;
    int fds[2] = {-1, -1};
    if (c.pipeClosedAfterFirstLine) {
      ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);  // kbx must not hold the reading end
      streams.stdoutFd = fds[1];
    }
    std::vector<std::string> commands{"connect", "modules", "1", "--yes"};
    if (c.trace) commands.insert(commands.begin(), {"--trace", c.trace});
    const pid_t kbx = test::Spawn(Kbx(sim.Device(), commands), streams);
    if (c.pipeClosedAfterFirstLine) {
      close(fds[1]);
      FILE* reader = fdopen(fds[0], "r");
      char line[256];
      ASSERT_NE(fgets(line, sizeof line, reader), nullptr);
      EXPECT_STREQ(line, "Connecting...\n");
      fclose(reader);
    }
    const int status = test::Wait(kbx);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << c.what << " status " << status;
    // Connect's requests, the update to one module, the disconnect.
    const auto requests = test::RequestsInLog(log);
    ASSERT_GE(requests.size(), 5u) << c.what;
    EXPECT_THAT(std::vector(requests.end() - 5, requests.end()),
                ElementsAre(Request{0x78, 0x20, 0x03, 0x00}, Request{0x78, 0x38, 0x8B, 0x11},
                            Request{0xBD, 0x69, 0x02, 0x8B, 0x11}, Request{0x78, 0x00}, Request{0xFF}))
        << c.what;
    EXPECT_EQ(ReadFile(err), std::string("kbx: ") + c.error + "\n") << c.what;
  }
}

// ------------------------------------------------------------ the port's lock

// The lock file kbx makes for `device`, in the tests' lock folder.
std::string LockFileOf(const std::string& device) {
  const std::string real = std::filesystem::canonical(device).string();
  return std::string(std::getenv("KBX_LOCK_DIR")) + "/LCK.." + real.substr(real.rfind('/') + 1);
}

// No lock file is left behind on any end that kbx controls. Each time the
// access code comes from the environment, which other users cannot see in
// the process list, and goes to the UPS.
TEST_F(KbxProcess, NoLockFileIsLeftOnAnyEnd) {
  struct Case {
    const char* what;
    std::vector<int> signals;  // sent once the meter request was seen
    int exitStatus;            // -1: ended by the signal
  };
  const std::vector<Case> cases = {
      {"normal end", {}, 0}, {"one signal", {SIGINT}, 128 + SIGINT}, {"two signals", {SIGINT, SIGTERM}, -1}};
  const std::string lockFolder = std::getenv("KBX_LOCK_DIR");
  const std::string codeFile = folder + "/code";
  WriteFile(codeFile, "C0FFEE\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(log);
    test::SimulatorProcess sim(KBX_SIM_BIN, log, {"--type", "290", "--access-code-file", codeFile});
    ::setenv("KBX_ACCESS_CODE", "c0ffee", 1);
    const pid_t kbx = Start(sim.Device(), {"runtime", "runtime"});
    ::unsetenv("KBX_ACCESS_CODE");
    ASSERT_TRUE(test::AwaitRequest(log, 0x34));
    EXPECT_THAT(test::RequestsInLog(log), ::testing::Contains(Request{0xCF, 0xC0, 0xFF, 0xEE}));
    EXPECT_TRUE(std::filesystem::exists(LockFileOf(sim.Device())));
    for (const int signal : c.signals) kill(kbx, signal);
    const int status = test::Wait(kbx);
    if (c.exitStatus < 0) {
      EXPECT_TRUE(WIFSIGNALED(status)) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitStatus) << status;
    }
    EXPECT_TRUE(std::filesystem::is_empty(lockFolder));
  }
}

}  // namespace
}  // namespace kbx
