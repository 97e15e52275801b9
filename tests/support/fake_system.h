#pragma once

// A machine of the test's own making: a sys/ and a dev/ in a folder, shaped
// as the kernel lays them out, for KBX_SYSTEM_ROOT.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/temp_folder.h"

namespace kbx::test {

class FakeSystem {
 public:
  const std::string& Root() const { return folder_.path; }
  std::string Dev(const std::string& name) const { return Root() + "/dev/" + name; }

  // A UART the kernel lists as ttyS`index`, of the UART type `type` (0: no
  // hardware behind it); its device file is a link to `target` when one is given.
  void Uart(int index, int type, const std::string& target = "") {
    const std::string name = "ttyS" + std::to_string(index);
    const std::string device = Root() + "/sys/devices/pnp0/00:0" + std::to_string(index);
    Folder(device + "/tty/" + name);
    Link(Root() + "/sys/bus/pnp/drivers/serial", device + "/driver");
    Tty(name, device, target);
    WriteFile(Root() + "/sys/class/tty/" + name + "/type", std::to_string(type) + "\n");
  }

  // A USB adapter (ttyUSBn, ttyACMn) on USB port `usbPort` with its USB
  // facts, its device file a link to `target`, and its /dev/serial/by-id name.
  void Adapter(const std::string& name, const std::string& usbPort, const std::string& serial,
               const std::string& target, const std::string& byId) {
    const std::string usb = Root() + "/sys/devices/pci0000:00/usb1/" + usbPort;
    Folder(usb);
    WriteFile(usb + "/idVendor", "0403\n");
    WriteFile(usb + "/idProduct", "6001\n");
    WriteFile(usb + "/manufacturer", "FTDI\n");
    WriteFile(usb + "/product", "FT232R USB UART\n");
    WriteFile(usb + "/serial", serial + "\n");
    const std::string port = usb + "/" + usbPort + ":1.0/" + name;
    Folder(port);
    Link(Root() + "/sys/bus/usb-serial/drivers/ftdi_sio", port + "/driver");
    Tty(name, port, target);
    Folder(Root() + "/dev/serial/by-id");
    Link("../../" + name, Root() + "/dev/serial/by-id/" + byId);
  }

  // The adapter pulled out: its tty and device files go, its USB device too.
  void Unplug(const std::string& name, const std::string& usbPort, const std::string& byId) {
    std::filesystem::remove_all(Root() + "/sys/class/tty/" + name);
    std::filesystem::remove_all(Root() + "/sys/devices/pci0000:00/usb1/" + usbPort);
    std::filesystem::remove(Dev(name));
    std::filesystem::remove(Root() + "/dev/serial/by-id/" + byId);
  }

  // A terminal without a device behind it, as the consoles are.
  void Console(const std::string& name) { Folder(Root() + "/sys/class/tty/" + name); }

 private:
  static void Folder(const std::string& path) { std::filesystem::create_directories(path); }
  static void Link(const std::string& target, const std::string& link) {
    Folder(std::filesystem::path(link).parent_path());
    std::filesystem::create_symlink(target, link);
  }
  void Tty(const std::string& name, const std::string& device, const std::string& target) {
    Folder(Root() + "/sys/class/tty/" + name);
    Link(device, Root() + "/sys/class/tty/" + name + "/device");
    Folder(Root() + "/sys/bus/pnp/drivers/serial");
    Folder(Root() + "/sys/bus/usb-serial/drivers/ftdi_sio");
    Folder(Root() + "/dev");
    if (!target.empty()) Link(target, Dev(name));
  }

  TempFolder folder_;
};

}  // namespace kbx::test
