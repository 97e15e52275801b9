// kbx as a process against the simulator program, where only real signals,
// real pipes, real descriptors, real locks and a real ser2net will do: two
// signals with --json, output that cannot be written, the lock file on every
// end, and `kbx scan` over many ports side by side. Each run takes seconds of
// real time (the fixed pauses of the protocol): `make test-e2e`.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/json_reader.h"
#include "support/processes.h"
#include "support/ser2net.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Request = std::vector<std::uint8_t>;

class KbxProcess : public ::testing::Test {
 protected:
  TempFolder temp;  // removed with what the test left in it
  // The machine kbx sees has no serial port of its own: only the devices
  // mapped by --com are there.
  TempFolder machine;
  std::string out = temp.path + "/out";
  std::string err = temp.path + "/err";
  std::string log = Log("requests");

  void SetUp() override { ::setenv("KBX_SYSTEM_ROOT", machine.path.c_str(), 1); }
  void TearDown() override { ::unsetenv("KBX_SYSTEM_ROOT"); }

  std::string Log(const std::string& name) const { return temp.path + "/" + name + ".log"; }

  // kbx with `args`, writing to `err` and (unless `streams` say otherwise) `out`.
  pid_t Start(const std::vector<std::string>& args, test::Streams streams = {}) {
    std::vector<std::string> all{KBX_BIN};
    all.insert(all.end(), args.begin(), args.end());
    if (streams.stdoutFd < 0) streams.stdoutPath = out;
    streams.stderrPath = err;
    return test::Spawn(all, streams);
  }
  int Run(const std::vector<std::string>& args) {
    const int status = test::Wait(Start(args));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The scan's line for each device: what follows the device and its padding.
  std::map<std::string, std::string> Found() const {
    std::map<std::string, std::string> found;
    for (const std::string& line : test::Lines(ReadFile(out))) {
      std::istringstream words(line);
      std::string com, device;
      words >> com >> device;
      std::string rest;
      std::getline(words >> std::ws, rest);
      found[device] = com + " " + rest;
    }
    return found;
  }
};

// Two signals while the runtime is read: the second stops kbx at once, and
// the one JSON object still goes out, with the same errors as stderr.
TEST_F(KbxProcess, WithJsonTwoSignalsStillGiveOneObject) {
  test::SimulatorProcess sim(KBX_SIM_BIN, log, {"--type", "290"});
  const pid_t kbx = Start({"--com", "1=" + sim.Device(), "--json", "runtime", "modules", "1", "--yes"});
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
    bool pipeClosedAfterFirstLine;
    const char* trace;  // nullptr: none
    const char* error;
  } cases[] = {
      {"a reader that goes after the first line", true, nullptr, "could not write the output: Broken pipe"},
      {"the trace on /dev/full", false, "/dev/full", "could not write the trace file \"/dev/full\""},
  };

  for (const Case& c : cases) {
    test::SimulatorProcess sim(KBX_SIM_BIN, log, {"--type", "290"});
    test::Streams streams;
    int fds[2] = {-1, -1};
    if (c.pipeClosedAfterFirstLine) {
      ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);  // kbx must not hold the reading end
      streams.stdoutFd = fds[1];
    }
    std::vector<std::string> args{"--com", "1=" + sim.Device(), "connect", "modules", "1", "--yes"};
    if (c.trace) args.insert(args.begin(), {"--trace", c.trace});
    const pid_t kbx = Start(args, streams);
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
  const std::string codeFile = temp.path + "/code";
  WriteFile(codeFile, "C0FFEE\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(log);
    test::SimulatorProcess sim(KBX_SIM_BIN, log, {"--type", "290", "--access-code-file", codeFile});
    ::setenv("KBX_ACCESS_CODE", "c0ffee", 1);
    const pid_t kbx = Start({"--com", "1=" + sim.Device(), "runtime", "runtime"});
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

// ------------------------------------------------------------ kbx scan

// What the scan asks each UPS: who it is, then goodbye.
const std::vector<Request> kIdentifyThenDisconnect = {{0xCF, 0x4B, 0x42, 0x58}, {0xA0}, {0x36}, {0xFF}};

// UPSes on pseudo-terminals (one named by the COM file), one that another kbx
// holds, two behind ser2net (raw TCP and RFC 2217) and network ports where
// nothing listens, all probed side by side (a loop of gensio's freed under
// another thread's connection crashed it once). Each UPS is only asked who it
// is: nothing is set, goodbye comes last.
TEST_F(KbxProcess, ScanFindsEveryUpsAmongHeldPortsAndBehindSerialServers) {
  if (test::Ser2netProgram().empty()) GTEST_SKIP() << "ser2net is not installed (make deps installs it)";
  test::SimulatorProcess ups290(KBX_SIM_BIN, Log("290"), {"--type", "290"});
  test::SimulatorProcess ups292(KBX_SIM_BIN, Log("292"), {"--type", "292", "--versions", "1.03,2.10,1.00"});
  test::SimulatorProcess taken(KBX_SIM_BIN, Log("taken"), {"--type", "290"});
  test::SimulatorProcess overTcp(KBX_SIM_BIN, Log("tcp"), {"--type", "292"});
  test::SimulatorProcess overRfc2217(KBX_SIM_BIN, Log("rfc2217"), {"--type", "280"});
  const TempFolder tcpFolder, rfc2217Folder;
  const test::Ser2net tcpServer(test::Ser2netProgram(), tcpFolder.path, overTcp.Device());
  const test::Ser2net rfc2217Server(test::Ser2netProgram(), rfc2217Folder.path, overRfc2217.Device());
  const std::string tcp = tcpServer.Address("tcp"), rfc2217 = rfc2217Server.Address("rfc2217");
  const std::string port = std::to_string(test::FreePort());
  const std::vector<std::string> nowhere{"tcp://127.0.0.1:" + port, "rfc2217://127.0.0.1:" + port,
                                         "tcp://localhost:" + port};
  // Another kbx holds one while the scan runs.
  const pid_t holder = test::Spawn({KBX_BIN, "--com", "1=" + taken.Device(), "connect", "runtime"},
                                   {"/dev/null", -1, "/dev/null"});
  ASSERT_TRUE(test::AwaitRequest(Log("taken"), 0xCF));

  // COM4 comes from the COM file, the others from the command line.
  const std::string comFolder = std::string(std::getenv("XDG_CONFIG_HOME")) + "/kbx";
  std::filesystem::create_directories(comFolder);
  std::ofstream(comFolder + "/ports.conf") << "COM4=" << ups292.Device() << "\n";
  const int status = Run({"scan", "--com", "3=" + ups290.Device(), "--com", "7=" + taken.Device(), "--com",
                          "8=" + tcp, "--com", "9=" + rfc2217, "--com", "10=" + nowhere[0], "--com",
                          "11=" + nowhere[1], "--com", "12=" + nowhere[2]});
  test::Wait(holder);
  std::filesystem::remove_all(comFolder);

  EXPECT_EQ(status, 0);
  const auto found = Found();
  EXPECT_EQ(found.at(ups290.Device()), "COM3 UPS type 290 (processor 1: 1.03, processor 2: 1.03)");
  EXPECT_EQ(found.at(ups292.Device()),
            "COM4 UPS type 292 (processor 1: 1.03, processor 2: 2.10, processor 3: 1.00)");
  EXPECT_EQ(found.at(taken.Device()), "COM7 held by PID " + std::to_string(holder) + " (kbx)");
  EXPECT_EQ(found.at(tcp), "COM8 UPS type 292 (processor 1: 1.03, processor 2: 1.03)");
  EXPECT_EQ(found.at(rfc2217), "COM9 UPS type 280 (processor 1: 1.03, processor 2: 1.03)");
  for (std::size_t i = 0; i < nowhere.size(); ++i) {
    EXPECT_EQ(found.at(nowhere[i]), "COM" + std::to_string(10 + i) + " cannot be opened: " + nowhere[i] +
                                        " cannot be reached: Connection refused");
  }
  EXPECT_EQ(ReadFile(err), "");
  for (const char* name : {"290", "292", "tcp", "rfc2217"})
    EXPECT_EQ(test::RequestsInLog(Log(name)), kIdentifyThenDisconnect) << name;
}

// Where no UPS is found, the scan ends with 1.
TEST_F(KbxProcess, ScanWithNoUpsFoundExitsOne) {
  const std::string nowhere = "tcp://127.0.0.1:" + std::to_string(test::FreePort());
  EXPECT_EQ(Run({"scan", "--com", "1=" + nowhere}), 1);
  EXPECT_EQ(Found().at(nowhere),
            "COM1 cannot be opened: " + nowhere + " cannot be reached: Connection refused");
}

TEST_F(KbxProcess, ScanUnderAStopSignalLetsEveryPortGoWithItsDisconnect) {
  test::SimulatorProcess ups(KBX_SIM_BIN, Log("ups"), {"--type", "290"});
  test::SimulatorProcess silent(KBX_SIM_BIN, Log("silent"), {"--silent"});
  const pid_t scan = Start({"scan", "--com", "1=" + ups.Device(), "--com", "2=" + silent.Device()});
  ASSERT_TRUE(test::AwaitRequest(Log("silent"), 0xA0));
  ::kill(scan, SIGINT);
  const int status = test::Wait(scan);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT) << status;
  EXPECT_EQ(Found().at(silent.Device()), "COM2 stopped");
  for (const char* name : {"ups", "silent"}) {
    const auto requests = test::RequestsInLog(Log(name));
    ASSERT_FALSE(requests.empty()) << name;
    EXPECT_EQ(requests.back(), Request{0xFF}) << name;
  }
  EXPECT_THAT(ReadFile(err), HasSubstr("kbx: interrupted (SIGINT) during scan"));
  // Nothing left in the lock folder.
  EXPECT_TRUE(std::filesystem::is_empty(std::getenv("KBX_LOCK_DIR")));
}

}  // namespace
}  // namespace kbx
