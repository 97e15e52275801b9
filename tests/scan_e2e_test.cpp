// kbx scan as a process, over simulators on pseudo-terminals: UPSes, a
// silent line and a port another kbx holds, found side by side; what each
// simulator heard; the JSON array; a stop signal. Each run takes seconds of
// real time (a silent line takes its 15 s): `make test-e2e`.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/json_reader.h"
#include "support/processes.h"
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

TEST_F(ScanProcess, FindsEveryUpsAmongSilentAndHeldPortsAndOnlyAsksWhoItIs) {
  test::SimulatorProcess ups290(KBX_SIM_BIN, Log("290"), {"--type", "290"});
  test::SimulatorProcess ups292(KBX_SIM_BIN, Log("292"), {"--type", "292", "--versions", "1.03,2.10,1.00"});
  test::SimulatorProcess ups281(KBX_SIM_BIN, Log("281"), {"--type", "281"});
  test::SimulatorProcess silent(KBX_SIM_BIN, Log("silent"), {"--silent"});
  test::SimulatorProcess taken(KBX_SIM_BIN, Log("taken"), {"--type", "290"});
  // Another kbx holds the last one while the scan runs.
  const pid_t holder = test::Spawn({KBX_BIN, "--com", "1=" + taken.Device(), "connect", "runtime"},
                                   {"/dev/null", -1, false, "/dev/null"});
  ASSERT_TRUE(test::AwaitRequest(Log("taken"), 0xCF));

  // COM4 comes from the COM file, the others from the command line.
  const std::string comFolder = std::string(std::getenv("XDG_CONFIG_HOME")) + "/kbx";
  std::filesystem::create_directories(comFolder);
  std::ofstream(comFolder + "/ports.conf") << "COM4=" << ups292.Device() << "\n";
  const int status = Scan({"--com", "3=" + ups290.Device(), "--com", "5=" + ups281.Device(), "--com",
                           "6=" + silent.Device(), "--com", "7=" + taken.Device()});
  test::Wait(holder);
  std::filesystem::remove_all(comFolder);

  EXPECT_EQ(status, 0);
  const auto found = Found();
  EXPECT_EQ(found.at(ups290.Device()), "COM3 UPS type 290 (processor 1: 1.03, processor 2: 1.03)");
  EXPECT_EQ(found.at(ups292.Device()),
            "COM4 UPS type 292 (processor 1: 1.03, processor 2: 2.10, processor 3: 1.00)");
  EXPECT_EQ(found.at(ups281.Device()), "COM5 UPS type 281 (processor 1: 1.03, processor 2: 1.03)");
  EXPECT_EQ(found.at(silent.Device()), "COM6 no answer");
  EXPECT_EQ(found.at(taken.Device()), "COM7 held by PID " + std::to_string(holder) + " (kbx)");
  EXPECT_EQ(test::ReadWholeFile(err), "");
  // The 281 is not switched over; nothing is set anywhere; goodbye comes last.
  for (const char* name : {"290", "292", "281"})
    EXPECT_EQ(test::RequestsInLog(Log(name)), kIdentifyThenDisconnect) << name;
  // The silent line is asked as often as connect would ask it.
  auto asked = test::RequestsInLog(Log("silent"));
  EXPECT_EQ(std::count(asked.begin(), asked.end(), Request{0xA0}), 6);
  asked.erase(std::unique(asked.begin(), asked.end()), asked.end());
  EXPECT_EQ(asked, kIdentifyThenDisconnect);
}

TEST_F(ScanProcess, JsonGivesAnObjectPerPortAndNoUpsExitsOne) {
  test::SimulatorProcess ups(KBX_SIM_BIN, Log("ups"), {"--type", "292"});
  ASSERT_EQ(Scan({"--json", "--com", "2=" + ups.Device()}), 0);
  std::string error;
  const auto json = test::JsonReader::Read(test::ReadWholeFile(out), error);
  ASSERT_TRUE(json) << error;
  ASSERT_EQ(json->kind, test::Json::kArray);
  const test::Json* object = nullptr;
  for (const test::Json& item : json->items) {
    if (item.Has("device") && item["device"].text == ups.Device()) object = &item;
  }
  ASSERT_NE(object, nullptr);
  EXPECT_EQ((*object)["com"].number, 2);
  EXPECT_EQ((*object)["found"].text, "ups");
  EXPECT_EQ((*object)["type"].number, 292);
  EXPECT_EQ((*object)["versions"]["1"].text, "1.03");
  EXPECT_EQ((*object)["versions"]["2"].text, "1.03");
  EXPECT_EQ((*object)["text"].text, "UPS type 292 (processor 1: 1.03, processor 2: 1.03)");

  // A UPS held by another kbx, and nothing else: no UPS found, exit 1.
  test::SimulatorProcess held(KBX_SIM_BIN, Log("held"), {"--type", "292"});
  const pid_t holder =
      test::Spawn({KBX_BIN, "--com", "1=" + held.Device(), "connect"}, {"/dev/null", -1, false, "/dev/null"});
  ASSERT_TRUE(test::AwaitRequest(Log("held"), 0xCF));
  EXPECT_EQ(Scan({"--com", "2=" + held.Device()}), 1);
  test::Wait(holder);
  EXPECT_EQ(Found().at(held.Device()), "COM2 held by PID " + std::to_string(holder) + " (kbx)");
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

// Whether something listens on the loopback port, within 5 s.
bool Listening(int port) {
  for (int attempt = 0; attempt < 250; ++attempt) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (connected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Network ports where nothing listens, all at once: each says so, and the
// scan ends without a UPS (a loop of gensio's freed under another thread's
// connection crashed it once).
TEST_F(ScanProcess, NetworkPortsWhereNothingListensSaySo) {
  const std::string port = std::to_string(30000 + static_cast<int>(::getpid() % 10000) * 3 + 2);
  const std::vector<std::string> nowhere{"tcp://127.0.0.1:" + port, "rfc2217://127.0.0.1:" + port,
                                         "tcp://localhost:" + port};
  ASSERT_EQ(Scan({"--com", "2=" + nowhere[0], "--com", "3=" + nowhere[1], "--com", "4=" + nowhere[2]}), 1);
  const auto found = Found();
  for (const std::string& address : nowhere)
    EXPECT_THAT(found.at(address), HasSubstr("cannot be opened: " + address + " cannot be reached"))
        << address;
}

// Serial servers on the loopback network, ser2net in front of two
// simulators (raw TCP and RFC 2217), and a port where nothing listens: all
// probed side by side with a simulator on a pseudo-terminal.
TEST_F(ScanProcess, FindsTheUpsesBehindSerialServersOnTheNetwork) {
  test::SimulatorProcess overTcp(KBX_SIM_BIN, Log("tcp"), {"--type", "292"});
  test::SimulatorProcess overRfc2217(KBX_SIM_BIN, Log("rfc2217"), {"--type", "280"});
  test::SimulatorProcess local(KBX_SIM_BIN, Log("local"), {"--type", "290"});
  const int base = 30000 + static_cast<int>(::getpid() % 10000) * 3;
  const std::string tcp = std::to_string(base), rfc2217 = std::to_string(base + 1);
  const std::string config = temp.path + "/ser2net.yaml";
  std::ofstream(config) << "connection: &raw\n  accepter: tcp,127.0.0.1," << tcp
                        << "\n  connector: serialdev," << overTcp.Device() << ",19200n81,local\n\n"
                        << "connection: &telnet\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << rfc2217
                        << "\n  connector: serialdev," << overRfc2217.Device() << ",9600n82,local\n";
  const pid_t server =
      test::Spawn({"/usr/sbin/ser2net", "-n", "-d", "-c", config}, {"/dev/null", -1, false, "/dev/null"});
  // ser2net listens once it has read its configuration.
  ASSERT_TRUE(Listening(base) && Listening(base + 1));
  const std::string nowhere = "tcp://127.0.0.1:" + std::to_string(base + 2);
  const std::string nowhereEither = "rfc2217://127.0.0.1:" + std::to_string(base + 2);
  const int status =
      Scan({"--com", "2=tcp://127.0.0.1:" + tcp, "--com", "3=rfc2217://127.0.0.1:" + rfc2217, "--com",
            "4=" + local.Device(), "--com", "5=" + nowhere, "--com", "6=" + nowhereEither});
  ::kill(server, SIGTERM);
  test::Wait(server);

  EXPECT_EQ(status, 0);
  const auto found = Found();
  EXPECT_EQ(found.at("tcp://127.0.0.1:" + tcp), "COM2 UPS type 292 (processor 1: 1.03, processor 2: 1.03)");
  EXPECT_EQ(found.at("rfc2217://127.0.0.1:" + rfc2217),
            "COM3 UPS type 280 (processor 1: 1.03, processor 2: 1.03)");
  EXPECT_EQ(found.at(local.Device()), "COM4 UPS type 290 (processor 1: 1.03, processor 2: 1.03)");
  EXPECT_EQ(found.at(nowhere),
            "COM5 cannot be opened: " + nowhere + " cannot be reached: Connection refused");
  EXPECT_EQ(found.at(nowhereEither),
            "COM6 cannot be opened: " + nowhereEither + " cannot be reached: Connection refused");
  for (const char* name : {"tcp", "rfc2217", "local"})
    EXPECT_EQ(test::RequestsInLog(Log(name)), kIdentifyThenDisconnect) << name;
}

}  // namespace
}  // namespace kbx
