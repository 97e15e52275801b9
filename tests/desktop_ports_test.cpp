// The desktop program as a technician starts it from the menu, on a machine
// of the test's own making: its Port dialog reaches a UPS on a USB adapter,
// and its start-up box names what the COM file gets wrong.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <csignal>

#include "platform/pseudo_terminal.h"
#include "support/desktop_probe.h"
#include "support/fake_system.h"
#include "support/processes.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using test::Probe;

constexpr char kFtdi[] = "usb-FTDI_FT232R_USB_UART_A10-if00-port0";

class DesktopPorts : public ::testing::Test {
 protected:
  DesktopPorts() {
    ::setenv("KBX_SYSTEM_ROOT", machine.Root().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", config.path.c_str(), 1);
  }
  ~DesktopPorts() override { ::unsetenv("KBX_SYSTEM_ROOT"); }

  // The first line that starts with `lead`, without it; "" when none came.
  static std::string AwaitLineStarting(Probe& probe, const std::string& lead) {
    for (std::string line = probe.Line(); !line.empty(); line = probe.Line()) {
      if (line.starts_with(lead)) return line.substr(lead.size());
    }
    return "";
  }

  test::FakeSystem machine;
  TempFolder config;
  TempFolder logs;
};

TEST_F(DesktopPorts, WithNoOptionThePortDialogReachesTheUpsOnAUsbAdapter) {
  // A UART with a quiet line on COM1, one the kernel lists with no hardware
  // behind it, and the adapter with the UPS behind it.
  PseudoTerminal quietLine;
  test::SimulatorProcess ups(KBX_SIM_BIN, logs.path + "/sim.log", {});
  machine.Uart(0, 4, quietLine.SlavePath());
  machine.Uart(1, 0);
  machine.Adapter("ttyUSB0", "1-1", "A10", ups.Device(), kFtdi);
  const std::string byId = machine.Dev("serial/by-id/") + kFtdi;

  Probe probe({"com2"});
  EXPECT_EQ(AwaitLineStarting(probe, "tip: "),
            "The COM port number, 1 to 9 | COM2 is " + byId + " |  | Ports of this computer: | COM1: " +
                machine.Dev("ttyS0") + " (driver serial) | COM2: " + machine.Dev("ttyUSB0") +
                " (FTDI FT232R USB UART (USB 0403:6001), serial A10)");
  EXPECT_TRUE(probe.AwaitLine("connected"));
  probe.Signal(SIGTERM);
  EXPECT_EQ(probe.ExitStatus(), 128 + SIGTERM);
  // The next start finds the adapter at the same number.
  EXPECT_EQ(
      ReadFile(config.path + "/kbx/ports.conf"),
      "# COM numbers of kbx and kbx-configurator, one COMn=DEVICE a line; --com wins for one run.\nCOM2=" +
          byId + "\n");
}

TEST_F(DesktopPorts, TheStartUpBoxNamesABrokenLineOfTheComFile) {
  std::filesystem::create_directories(config.path + "/kbx");
  WriteFile(config.path + "/kbx/ports.conf", "COM4=/dev/ttyUSB4\nCOM 1 = ttyUSB0\n");
  Probe probe({"startUpBox", "--simulate", "290"});
  EXPECT_EQ(AwaitLineStarting(probe, "box: "),
            config.path + "/kbx/ports.conf:2: \"ttyUSB0\" is neither an absolute path nor a network port");
  probe.Signal(SIGTERM);
  EXPECT_EQ(probe.ExitStatus(), 128 + SIGTERM);
}

}  // namespace
}  // namespace kbx
