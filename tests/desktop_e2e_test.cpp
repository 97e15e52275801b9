// The desktop program as a process, started from the menu on a machine of
// the test's own making, walked by tests/desktop_signal_probe.cpp: its
// start-up box names what the COM file gets wrong, its Port dialog reaches a
// UPS on a USB adapter and keeps its number, and a stop signal during a
// module update ends the program with 128 + the signal once the update has
// run to its end.
#include <gmock/gmock.h>
#include <stdlib.h>

#include <csignal>
#include <filesystem>

#include "platform/pseudo_terminal.h"
#include "support/fake_system.h"
#include "support/processes.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

TEST(Desktop, ReachesTheUpsOnAUsbAdapterAndAStopSignalWaitsForTheUpdate) {
  test::FakeSystem machine;
  TempFolder config;
  TempFolder logs;
  ::setenv("KBX_SYSTEM_ROOT", machine.Root().c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", config.path.c_str(), 1);
  const std::string comFile = config.path + "/kbx/ports.conf";
  std::filesystem::create_directories(config.path + "/kbx");
  WriteFile(comFile, "COM 1 = ttyUSB0\n");
  // A UART with a quiet line on COM1, one the kernel lists with no hardware
  // behind it, and the adapter with the UPS behind it.
  PseudoTerminal quietLine;
  test::SimulatorProcess ups(KBX_SIM_BIN, logs.path + "/sim.log", {});
  machine.Uart(0, 4, quietLine.SlavePath());
  machine.Uart(1, 0);
  const std::string ftdi = "usb-FTDI_FT232R_USB_UART_A10-if00-port0";
  machine.Adapter("ttyUSB0", "1-1", "A10", ups.Device(), ftdi);
  const std::string byId = machine.Dev("serial/by-id/") + ftdi;

  const test::ProgramRun run = test::RunProgram({KBX_DESKTOP_PROBE, "2"});
  const std::vector<std::string> out = test::Lines(run.out);
  EXPECT_THAT(out,
              Contains("box: " + comFile + ":1: \"ttyUSB0\" is neither an absolute path nor a network port"));
  EXPECT_THAT(out, Contains("tip: The COM port number, 1 to 9 | COM2 is " + byId +
                            " |  | Ports of this computer: | COM1: " + machine.Dev("ttyS0") +
                            " (driver serial) | COM2: " + machine.Dev("ttyUSB0") +
                            " (FTDI FT232R USB UART (USB 0403:6001), serial A10)"));
  // The signal came as the update began, before its first frame; the update
  // still ran to its last step, the checksum reset, and wrote its closing line.
  ASSERT_GE(out.size(), 3u) << run.out;
  EXPECT_THAT(std::vector<std::string>(out.end() - 3, out.end()),
              ElementsAre("board: Updating KBXs...", "signalled", "board: Done"));
  const auto requests = test::RequestsInLog(logs.path + "/sim.log");
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back(), (std::vector<std::uint8_t>{0x78, 0x00}));
  EXPECT_EQ(run.status, 128 + SIGTERM);
  // The next start finds the adapter at the same number.
  EXPECT_EQ(ReadFile(comFile), "COM 1 = ttyUSB0\nCOM2=" + byId + "\n");
}

}  // namespace
}  // namespace kbx
