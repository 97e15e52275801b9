// kbx scan as a process, over simulators on pseudo-terminals and behind
// ser2net: UPSes and a port another kbx holds, found side by side; what each
// simulator heard; the holder in JSON; a stop signal. Each run takes seconds
// of real time: `make test-e2e`.
#include <signal.h>
#include <unistd.h>

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
    for (const std::string& line : test::Lines(test::ReadWholeFile(out))) {
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

TEST_F(ScanProcess, FindsEveryUpsAmongHeldPortsAndOnlyAsksWhoItIs) {
  test::SimulatorProcess ups290(KBX_SIM_BIN, Log("290"), {"--type", "290"});
  test::SimulatorProcess ups292(KBX_SIM_BIN, Log("292"), {"--type", "292", "--versions", "1.03,2.10,1.00"});
  test::SimulatorProcess ups281(KBX_SIM_BIN, Log("281"), {"--type", "281"});
  test::SimulatorProcess taken(KBX_SIM_BIN, Log("taken"), {"--type", "290"});
  // Another kbx holds the last one while the scan runs.
  const pid_t holder = test::Spawn({KBX_BIN, "--com", "1=" + taken.Device(), "connect", "runtime"},
                                   {"/dev/null", -1, false, "/dev/null"});
  ASSERT_TRUE(test::AwaitRequest(Log("taken"), 0xCF));

  // COM4 comes from the COM file, the others from the command line.
  const std::string comFolder = std::string(std::getenv("XDG_CONFIG_HOME")) + "/kbx";
  std::filesystem::create_directories(comFolder);
  std::ofstream(comFolder + "/ports.conf") << "COM4=" << ups292.Device() << "\n";
  const int status = Scan(
      {"--com", "3=" + ups290.Device(), "--com", "5=" + ups281.Device(), "--com", "7=" + taken.Device()});
  test::Wait(holder);
  std::filesystem::remove_all(comFolder);

  EXPECT_EQ(status, 0);
  const auto found = Found();
  EXPECT_EQ(found.at(ups290.Device()), "COM3 UPS type 290 (processor 1: 1.03, processor 2: 1.03)");
  EXPECT_EQ(found.at(ups292.Device()),
            "COM4 UPS type 292 (processor 1: 1.03, processor 2: 2.10, processor 3: 1.00)");
  EXPECT_EQ(found.at(ups281.Device()), "COM5 UPS type 281 (processor 1: 1.03, processor 2: 1.03)");
  EXPECT_EQ(found.at(taken.Device()), "COM7 held by PID " + std::to_string(holder) + " (kbx)");
  EXPECT_EQ(test::ReadWholeFile(err), "");
  // The 281 is not switched over; nothing is set anywhere; goodbye comes last.
  for (const char* name : {"290", "292", "281"})
    EXPECT_EQ(test::RequestsInLog(Log(name)), kIdentifyThenDisconnect) << name;
}

// A UPS held by another kbx, and nothing else: no UPS found, exit 1; --json
// says who holds it.
TEST_F(ScanProcess, JsonNamesTheHolderAndNoUpsExitsOne) {
  test::SimulatorProcess held(KBX_SIM_BIN, Log("held"), {"--type", "292"});
  const pid_t holder =
      test::Spawn({KBX_BIN, "--com", "1=" + held.Device(), "connect"}, {"/dev/null", -1, false, "/dev/null"});
  ASSERT_TRUE(test::AwaitRequest(Log("held"), 0xCF));
  EXPECT_EQ(Scan({"--json", "--com", "2=" + held.Device()}), 1);
  test::Wait(holder);
  std::string error;
  const auto json = test::JsonReader::Read(test::ReadWholeFile(out), error);
  ASSERT_TRUE(json) << error;
  ASSERT_EQ(json->items.size(), 1u);
  const test::Json& port = json->items[0];
  EXPECT_EQ(port["com"].number, 2);
  EXPECT_EQ(port["device"].text, held.Device());
  EXPECT_EQ(port["found"].text, "held");
  EXPECT_EQ(port["pid"].number, holder);
  EXPECT_EQ(port["program"].text, "kbx");
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
  EXPECT_THAT(test::ReadWholeFile(err), HasSubstr("kbx: interrupted (SIGINT) during scan"));
  // Nothing left in the lock folder.
  EXPECT_TRUE(std::filesystem::is_empty(std::getenv("KBX_LOCK_DIR")));
}

// Serial servers on the loopback network, ser2net in front of two
// simulators (raw TCP and RFC 2217), and network ports where nothing listens:
// all probed side by side with a simulator on a pseudo-terminal (a loop of
// gensio's freed under another thread's connection crashed it once).
TEST_F(ScanProcess, FindsTheUpsesBehindSerialServersOnTheNetwork) {
  if (test::Ser2netProgram().empty()) GTEST_SKIP() << "ser2net is not installed (make deps installs it)";
  test::SimulatorProcess overTcp(KBX_SIM_BIN, Log("tcp"), {"--type", "292"});
  test::SimulatorProcess overRfc2217(KBX_SIM_BIN, Log("rfc2217"), {"--type", "280"});
  test::SimulatorProcess local(KBX_SIM_BIN, Log("local"), {"--type", "290"});
  const TempFolder tcpFolder, rfc2217Folder;
  const test::Ser2net tcpServer(test::Ser2netProgram(), tcpFolder.path, overTcp.Device());
  const test::Ser2net rfc2217Server(test::Ser2netProgram(), rfc2217Folder.path, overRfc2217.Device());
  const std::string tcp = tcpServer.Address("tcp"), rfc2217 = rfc2217Server.Address("rfc2217");
  const std::string port = std::to_string(test::FreePort());
  const std::vector<std::string> nowhere{"tcp://127.0.0.1:" + port, "rfc2217://127.0.0.1:" + port,
                                         "tcp://localhost:" + port};
  EXPECT_EQ(Scan({"--com", "2=" + tcp, "--com", "3=" + rfc2217, "--com", "4=" + local.Device(), "--com",
                  "5=" + nowhere[0], "--com", "6=" + nowhere[1], "--com", "7=" + nowhere[2]}),
            0);

  const auto found = Found();
  EXPECT_EQ(found.at(tcp), "COM2 UPS type 292 (processor 1: 1.03, processor 2: 1.03)");
  EXPECT_EQ(found.at(rfc2217), "COM3 UPS type 280 (processor 1: 1.03, processor 2: 1.03)");
  EXPECT_EQ(found.at(local.Device()), "COM4 UPS type 290 (processor 1: 1.03, processor 2: 1.03)");
  for (std::size_t i = 0; i < nowhere.size(); ++i) {
    EXPECT_EQ(found.at(nowhere[i]), "COM" + std::to_string(5 + i) + " cannot be opened: " + nowhere[i] +
                                        " cannot be reached: Connection refused");
  }
  for (const char* name : {"tcp", "rfc2217", "local"})
    EXPECT_EQ(test::RequestsInLog(Log(name)), kIdentifyThenDisconnect) << name;
}

}  // namespace
}  // namespace kbx
