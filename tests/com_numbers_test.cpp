// COM numbers for the ports of a machine of the test's own making: the
// devices the system lists, the numbers adapters get and keep in the COM
// file, what that file may get wrong, and `kbx ports`.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <sstream>

#include "cli/kbx_cli.h"
#include "platform/com_file.h"
#include "platform/serial_devices.h"
#include "session/session_rig.h"
#include "support/fake_system.h"
#include "support/json_reader.h"
#include "support/processes.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr char kFtdiA[] = "usb-FTDI_FT232R_USB_UART_A10-if00-port0";
constexpr char kFtdiB[] = "usb-FTDI_FT232R_USB_UART_B20-if00-port0";

// Each test on a machine and with a configuration folder of its own.
class ComNumbers : public ::testing::Test {
 protected:
  void SetUp() override {
    savedConfig_ = std::getenv("XDG_CONFIG_HOME");
    ::setenv("KBX_SYSTEM_ROOT", machine_.Root().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", config_.path.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("KBX_SYSTEM_ROOT");
    ::setenv("XDG_CONFIG_HOME", savedConfig_.c_str(), 1);
  }

  PortMap Ports(const SessionOptions& options = {}) {
    notes_.clear();
    return SessionPortMap(options, &notes_);
  }
  std::string ComFile() const { return config_.path + "/kbx/ports.conf"; }
  void WriteComFile(const std::string& text) {
    std::filesystem::create_directories(config_.path + "/kbx");
    WriteFile(ComFile(), text);
  }
  // A file for a device link to point at (the tests open none).
  std::string Target(const std::string& name) {
    const std::string path = targets_.path + "/" + name;
    WriteFile(path, "");
    return path;
  }
  std::string ById(const std::string& name) const { return machine_.Dev("serial/by-id/") + name; }

  test::FakeSystem machine_;
  TempFolder config_;
  TempFolder targets_;
  std::vector<std::string> notes_;

 private:
  std::string savedConfig_;
};

// The system lists the UARTs with hardware, in natural order (what each
// device is, as `kbx ports` says it, is pinned below with its output).
// Without an adapter COM n is ttyS(n-1), and no COM file is made.
TEST_F(ComNumbers, WithoutAnAdapterComNIsTtySNMinusOneAndNoFileIsMade) {
  machine_.Uart(0, 4);
  machine_.Uart(1, 0);  // listed by the kernel, nothing there
  machine_.Uart(10, 4);
  machine_.Uart(2, 4);
  machine_.Console("tty0");
  std::vector<std::string> names;
  for (const SerialDevice& device : FindSerialDevices(machine_.Root())) names.push_back(device.name);
  EXPECT_THAT(names, ElementsAre("ttyS0", "ttyS2", "ttyS10"));
  const PortMap ports = Ports();
  for (int number : {1, 2, 9})
    EXPECT_EQ(ports.Device(number), machine_.Dev("ttyS" + std::to_string(number - 1)));
  EXPECT_FALSE(std::filesystem::exists(ComFile()));
  EXPECT_TRUE(notes_.empty());
}

// The first free number, by what the machine has and the COM file says.
TEST_F(ComNumbers, AFirstPlugTakesTheLowestNumberNoUartAndNoLineHas) {
  struct Case {
    std::vector<int> uartTypes;  // of ttyS0, ttyS1, ...
    std::string comFile;
    int expected;
  };
  for (const Case& c : std::vector<Case>{{{}, "", 1},
                                         {{4}, "", 2},
                                         {{4, 0}, "", 2},  // ttyS1 has no hardware: COM2 is free
                                         {{0, 4, 4}, "", 1},
                                         {{4, 4}, "COM3=/dev/ttyUSB7\n", 4},
                                         {{4, 4, 4, 4, 4, 4, 4, 4, 4}, "", 0}}) {
    test::FakeSystem machine;
    ::setenv("KBX_SYSTEM_ROOT", machine.Root().c_str(), 1);
    std::filesystem::remove_all(config_.path + "/kbx");
    if (!c.comFile.empty()) WriteComFile(c.comFile);
    for (std::size_t i = 0; i < c.uartTypes.size(); ++i) machine.Uart(static_cast<int>(i), c.uartTypes[i]);
    machine.Adapter("ttyUSB0", "1-1", "A10", Target("a"), kFtdiA);
    const std::string byId = machine.Dev("serial/by-id/") + kFtdiA;
    const PortMap ports = Ports();
    const std::string what = c.comFile + " UARTs " + std::to_string(c.uartTypes.size());
    if (c.expected == 0) {
      // Nine UARTs: none is left for it, and it is listed without one.
      EXPECT_FALSE(std::filesystem::exists(ComFile())) << what;
      EXPECT_EQ(ports.ListPorts().back().comNumber, 0) << what;
      continue;
    }
    EXPECT_EQ(ports.Device(c.expected), byId) << what;
    EXPECT_THAT(ReadFile(ComFile()),
                HasSubstr(c.comFile + "COM" + std::to_string(c.expected) + "=" + byId + "\n"))
        << what;
    EXPECT_TRUE(notes_.empty()) << what;
  }
}

TEST_F(ComNumbers, AReplugKeepsTheNumberAndAnUnpluggedAdapterKeepsItsOwn) {
  machine_.Uart(0, 4);
  machine_.Adapter("ttyUSB0", "1-1", "A10", Target("a"), kFtdiA);
  EXPECT_EQ(Ports().Device(2), ById(kFtdiA));
  // Out, then in on another USB port, where the kernel names it ttyUSB1;
  // meanwhile another adapter came as ttyUSB0.
  machine_.Unplug("ttyUSB0", "1-1", kFtdiA);
  machine_.Adapter("ttyUSB0", "1-2", "B20", Target("b"), kFtdiB);
  PortMap ports = Ports();
  EXPECT_EQ(ports.Device(2), ById(kFtdiA));  // kept while it was away
  EXPECT_EQ(ports.Device(3), ById(kFtdiB));
  machine_.Adapter("ttyUSB1", "1-3", "A10", Target("a2"), kFtdiA);
  ports = Ports();
  EXPECT_EQ(ports.Device(2), ById(kFtdiA));
  EXPECT_EQ(ports.Device(3), ById(kFtdiB));
  std::vector<std::pair<int, std::string>> listed;
  for (const PortInfo& port : ports.ListPorts()) listed.emplace_back(port.comNumber, port.device);
  EXPECT_THAT(listed, ElementsAre(std::pair(1, machine_.Dev("ttyS0")), std::pair(2, machine_.Dev("ttyUSB1")),
                                  std::pair(3, machine_.Dev("ttyUSB0"))));
  EXPECT_EQ(ReadFile(ComFile()),
            std::string("# COM numbers of kbx and kbx-configurator, one COMn=DEVICE a line; "
                        "--com wins for one run.\nCOM2=") +
                ById(kFtdiA) + "\nCOM3=" + ById(kFtdiB) + "\n");
}

TEST_F(ComNumbers, ABrokenLineIsNamedAndTheRestOfTheFileCounts) {
  const std::string written =
      "# my ports\n"
      "\n"
      "COM0=/dev/ttyUSB3\n"
      "COM5=ttyUSB3\n"
      "PORT6=/dev/ttyUSB6\n"
      "  COM4 = /dev/ttyUSB4  \n"
      "COM7=\n"
      "COM4=/dev/ttyUSB5\n"
      "COM9=tcp://10.1.2.3\n"
      "COM10=rfc2217://10.1.2.3:7001\n"
      "com8=/dev/ttyUSB8";  // the last line without its line end
  WriteComFile(written);
  machine_.Adapter("ttyUSB0", "1-1", "A10", Target("a"), kFtdiA);
  const PortMap ports = Ports();
  const std::string file = ComFile();
  EXPECT_THAT(notes_,
              ElementsAre(file + ":3: \"0\" is no COM number from 1 to 32767",
                          file + ":4: \"ttyUSB3\" is neither an absolute path nor a network port",
                          file + ":5: expected COMn=DEVICE", file + ":7: no device after \"=\"",
                          file + ":8: COM4 is given on an earlier line",
                          file + ":9: \"tcp://10.1.2.3\" is no network port: expected tcp://HOST:PORT"));
  EXPECT_EQ(ports.Device(10), "rfc2217://10.1.2.3:7001");
  EXPECT_EQ(ports.Device(4), "/dev/ttyUSB4");
  EXPECT_EQ(ports.Device(8), "/dev/ttyUSB8");
  EXPECT_EQ(ports.Device(5), machine_.Dev("ttyS4"));
  // The new adapter's line comes after every line the user wrote, untouched.
  EXPECT_EQ(ReadFile(file), written + "\nCOM1=" + ById(kFtdiA) + "\n");
}

TEST_F(ComNumbers, TwoProgramsThatMeetANewAdapterAtOnceWriteItsLineOnce) {
  std::string error;
  // The other program has added it by the time this one writes.
  ASSERT_TRUE(AddToComFile(ComFile(), {{2, "/dev/x"}}, error)) << error;
  ASSERT_TRUE(AddToComFile(ComFile(), {{2, "/dev/x"}, {3, "/dev/y"}}, error)) << error;
  EXPECT_THAT(ReadFile(ComFile()), ::testing::EndsWith("run.\nCOM2=/dev/x\nCOM3=/dev/y\n"));
  // The same line twice says nothing.
  WriteComFile("COM2=/dev/x\nCOM2=/dev/x\n");
  EXPECT_EQ(Ports().Device(2), "/dev/x");
  EXPECT_TRUE(notes_.empty());
}

TEST_F(ComNumbers, ComOnTheCommandLineWinsForOneRun) {
  WriteComFile("COM2=/dev/ttyUSB2\n");
  machine_.Adapter("ttyUSB0", "1-1", "A10", Target("a"), kFtdiA);
  SessionOptions options;
  options.mappings = {{2, "/dev/pts/9"}, {1, "/dev/pts/8"}};
  const PortMap ports = Ports(options);
  EXPECT_EQ(ports.Device(2), "/dev/pts/9");
  EXPECT_EQ(ports.Device(1), "/dev/pts/8");
  // The adapter takes neither number the run points elsewhere.
  EXPECT_EQ(ports.Device(3), ById(kFtdiA));
  EXPECT_EQ(ReadFile(ComFile()), "COM2=/dev/ttyUSB2\nCOM3=" + ById(kFtdiA) + "\n");
  EXPECT_EQ(Ports().Device(2), "/dev/ttyUSB2");
}

TEST_F(ComNumbers, AFolderThatCannotBeWrittenLeavesTheNumberForThisRun) {
  // A file where the folder would be.
  WriteFile(config_.path + "/kbx", "");
  machine_.Adapter("ttyUSB0", "1-1", "A10", Target("a"), kFtdiA);
  const PortMap ports = Ports();
  EXPECT_EQ(ports.Device(1), ById(kFtdiA));
  ASSERT_EQ(notes_.size(), 2u);
  EXPECT_EQ(notes_[0], ComFile() + ": Not a directory");
  EXPECT_EQ(notes_[1], "COM1 is " + ById(kFtdiA) + " for this run only: cannot make " + config_.path +
                           "/kbx: Not a directory");
  EXPECT_EQ(ReadFile(config_.path + "/kbx"), "");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(config_.path), {}), 1);
}

TEST_F(ComNumbers, KbxPortsListsEveryPortWithItsFactsAndItsHolderAsLinesOrJson) {
  machine_.Uart(0, 4, Target("s0"));
  machine_.Adapter("ttyUSB0", "1-1", "A10", Target("a"), kFtdiA);
  // A line of the COM file it cannot use is told, and the run goes on.
  WriteComFile("COMX=/dev/ttyUSB2\n");
  // Another program's lock file on the adapter, naming a live process (init).
  const std::string lockFile = std::string(std::getenv("KBX_LOCK_DIR")) + "/LCK..a";
  WriteFile(lockFile, "         1\n");
  std::string initName = ReadFile("/proc/1/comm");
  initName.pop_back();
  std::ostringstream out, err;
  EXPECT_EQ(RunKbx({"ports"}, out, err, Confirm{}), 0);
  EXPECT_EQ(err.str(), "kbx: " + ComFile() + ":1: \"X\" is no COM number from 1 to 32767\n");
  EXPECT_EQ(out.str(), "COM1   " + machine_.Dev("ttyS0") + "  driver serial\nCOM2   " +
                           machine_.Dev("ttyUSB0") + " (" + ById(kFtdiA) +
                           ")  FTDI FT232R USB UART (USB 0403:6001), serial A10  held by PID 1 (" + initName +
                           ")\n");

  // COM5, a file, is no serial port and is not listed.
  std::ostringstream json, jsonErr;
  EXPECT_EQ(RunKbx({"--json", "--com", "5=" + Target("file"), "ports"}, json, jsonErr, Confirm{}), 0);
  std::filesystem::remove(lockFile);
  EXPECT_EQ(jsonErr.str(), err.str());  // the same note, and nothing else
  EXPECT_EQ(
      json.str(),
      R"j([{"com":1,"device":")j" + machine_.Dev("ttyS0") +
          R"j(","stable_name":null,"description":"driver serial","driver":"serial","vendor_id":null,)j"
          R"j("product_id":null,"manufacturer":null,"product":null,"serial_number":null,"held_by":null},)j"
          R"j({"com":2,"device":")j" +
          machine_.Dev("ttyUSB0") + R"j(","stable_name":")j" + ById(kFtdiA) +
          R"j(","description":"FTDI FT232R USB UART (USB 0403:6001), serial A10","driver":"ftdi_sio",)j"
          R"j("vendor_id":"0403","product_id":"6001","manufacturer":"FTDI","product":"FT232R USB UART",)j"
          R"j("serial_number":"A10","held_by":{"pid":1,"program":")j" +
          initName + "\"}}]\n");
}

TEST_F(ComNumbers, APortIsHeldByAProcessThatHasItOpenNotByTheFarEndOfItsLine) {
  TempFolder logs;
  test::SimulatorProcess ups(KBX_SIM_BIN, logs.path + "/sim.log", {});
  machine_.Adapter("ttyUSB0", "1-1", "A10", ups.Device(), kFtdiA);
  auto heldBy = [] {
    std::ostringstream json, err;
    EXPECT_EQ(RunKbx({"--json", "ports"}, json, err, Confirm{}), 0);
    const test::Json ports = test::ReadJson(json.str());
    EXPECT_EQ(ports.Size(), 1) << json.str();
    return ports.At(0)["held_by"];
  };
  // The simulator holds both sides of its pseudo-terminal: it is the device.
  EXPECT_EQ(heldBy().Type(), QJsonValue::Null);
  test::Streams streams;
  streams.stdoutPath = ups.Device();
  // Spawn returns once the program runs, with the line open as its stdout.
  const pid_t sleeper = test::Spawn({"/bin/sleep", "30"}, streams);
  const test::Json holder = heldBy();
  ::kill(sleeper, SIGKILL);
  test::Wait(sleeper);
  EXPECT_EQ(holder["pid"].Number(), sleeper);
  EXPECT_EQ(holder["program"].Text(), "sleep");
}

}  // namespace
}  // namespace kbx
