// kbx scan as a process, over simulators on pseudo-terminals and behind
// ser2net: UPSes and a port another kbx holds, found side by side; what each
// simulator heard; no UPS found; a stop signal. Each run takes seconds
// of real time: `make test-e2e`.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/processes.h"
#include "support/ser2net.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Request = std::vector<std::uint8_t>;

const std::vector<Request> kIdentifyThenDisconnect = {{0xCF, 0x4B, 0x42, 0x58}, {0xA0}, {0x36}, {0xFF}};

class ScanProcess : public ::testing::Test {
 protected:
  TempFolder temp;
  // The machine the scan sees has no serial port of its own: only the
  // simulators mapped by --com are probed.
  TempFolder machine;
  std::string out = temp.path + "/out";
  std::string err = temp.path + "/err";

  void SetUp() override { ::setenv("KBX_SYSTEM_ROOT", machine.path.c_str(), 1); }
  void TearDown() override { ::unsetenv("KBX_SYSTEM_ROOT"); }

  std::string Log(const std::string& name) const { return temp.path + "/" + name + ".log"; }

  pid_t StartScan(const std::vector<std::string>& options) {
    std::vector<std::string> args{KBX_BIN, "scan"};
    args.insert(args.end(), options.begin(), options.end());
    test::Streams streams;
    streams.stdoutPath = out;
    streams.stderrPath = err;
    return test::Spawn(args, streams);
  }
  int Scan(const std::vector<std::string>& options) {
    const int status = test::Wait(StartScan(options));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The scan's line for `device`: what follows the device and its padding.
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

// UPSes on pseudo-terminals (one named by the COM file), one that another kbx
// holds, two behind ser2net (raw TCP and RFC 2217) and network ports where
// nothing listens, all probed side by side (a loop of gensio's freed under
// another thread's connection crashed it once). Each UPS is only asked who it
// is: nothing is set, goodbye comes last.
TEST_F(ScanProcess, FindsEveryUpsAmongHeldPortsAndBehindSerialServers) {
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
  const int status = Scan({"--com", "3=" + ups290.Device(), "--com", "7=" + taken.Device(), "--com",
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
TEST_F(ScanProcess, NoUpsFoundExitsOne) {
  const std::string nowhere = "tcp://127.0.0.1:" + std::to_string(test::FreePort());
  EXPECT_EQ(Scan({"--com", "1=" + nowhere}), 1);
  EXPECT_EQ(Found().at(nowhere),
            "COM1 cannot be opened: " + nowhere + " cannot be reached: Connection refused");
}

TEST_F(ScanProcess, AStopSignalLetsEveryPortGoWithItsDisconnect) {
  test::SimulatorProcess ups(KBX_SIM_BIN, Log("ups"), {"--type", "290"});
  test::SimulatorProcess silent(KBX_SIM_BIN, Log("silent"), {"--silent"});
  const pid_t scan = StartScan({"--com", "1=" + ups.Device(), "--com", "2=" + silent.Device()});
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
