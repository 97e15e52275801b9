#include "platform/serial_devices.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <tuple>

#include "platform/decimal.h"
#include "platform/file_kind.h"

namespace kbx {
namespace {

namespace fs = std::filesystem;

// The first line of a small file of the system's, without blanks around it;
// "" when there is none.
std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// The USB device above a tty's device in the device tree: the first folder
// going up that has a vendor id. Stops at `top`.
void ReadUsbFacts(const fs::path& ttyDevice, const fs::path& top, SerialDevice& device) {
  std::error_code ec;
  fs::path at = fs::canonical(ttyDevice, ec);
  if (ec) return;
  const std::string limit = top.string();
  for (; at.string().size() > limit.size() && at.string().starts_with(limit); at = at.parent_path()) {
    if (!Exists(at / "idVendor")) continue;
    device.vendorId = FirstLine(at / "idVendor");
    device.productId = FirstLine(at / "idProduct");
    device.manufacturer = FirstLine(at / "manufacturer");
    device.product = FirstLine(at / "product");
    device.serialNumber = FirstLine(at / "serial");
    return;
  }
}

// The driver of a tty's device. The kernel's own layer of serial ports
// (serial-base) sits between a UART and its driver: the driver is the
// first one above it.
std::string DriverOf(const fs::path& ttyDevice, const fs::path& top) {
  std::error_code ec;
  fs::path at = fs::canonical(ttyDevice, ec);
  if (ec) return "";
  const std::string limit = top.string();
  for (; at.string().size() > limit.size() && at.string().starts_with(limit); at = at.parent_path()) {
    std::error_code none;
    const fs::path driver = fs::canonical(at / "driver", none);
    if (none) continue;
    std::error_code noSubsystem;
    if (fs::canonical(at / "subsystem", noSubsystem).filename() == "serial-base") continue;
    return driver.filename().string();
  }
  return "";
}

// "ttyS10" after "ttyS9": the letters first, then the number as a number.
std::tuple<std::string, long, std::string> SortKey(const std::string& name) {
  const std::size_t digits = name.find_first_of("0123456789");
  if (digits == std::string::npos) return {name, -1, ""};
  const std::size_t end = std::min({name.find_first_not_of("0123456789", digits), name.size(), digits + 9});
  const long number = ParseDecimal<long>(std::string_view(name).substr(digits, end - digits)).value_or(0);
  return {name.substr(0, digits), number, name.substr(end)};
}

}  // namespace

std::string SystemRoot() {
  const char* root = std::getenv("KBX_SYSTEM_ROOT");
  std::string text = root ? root : "";
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text == "/" ? "" : text;
}

std::vector<SerialDevice> FindSerialDevices(const std::string& root) {
  std::vector<SerialDevice> devices;
  const fs::path sys = root + "/sys";
  std::error_code ec;
  const fs::path sysTop = fs::canonical(sys, ec);
  for (const auto& entry : fs::directory_iterator(sys / "class" / "tty", ec)) {
    const fs::path tty = entry.path();
    // The consoles and the pseudo-terminals have no device behind them.
    if (!Exists(tty / "device")) continue;
    // A UART the kernel keeps a name for without finding one there.
    if (Exists(tty / "type") && FirstLine(tty / "type") == "0") continue;
    SerialDevice device;
    device.name = tty.filename().string();
    device.path = root + "/dev/" + device.name;
    device.adapter = device.name.starts_with("ttyUSB") || device.name.starts_with("ttyACM");
    device.driver = DriverOf(tty / "device", sysTop);
    ReadUsbFacts(tty / "device", sysTop, device);
    devices.push_back(std::move(device));
  }
  const fs::path byId = root + "/dev/serial/by-id";
  for (const auto& entry : fs::directory_iterator(byId, ec)) {
    for (SerialDevice& device : devices) {
      if (device.stableName.empty() && SameFile(entry.path().string(), device.path))
        device.stableName = entry.path().string();
    }
  }
  std::sort(devices.begin(), devices.end(),
            [](const SerialDevice& a, const SerialDevice& b) { return SortKey(a.name) < SortKey(b.name); });
  return devices;
}

std::string DescribeDevice(const SerialDevice& device) {
  std::string text = device.manufacturer;
  if (!device.product.empty()) text += (text.empty() ? "" : " ") + device.product;
  if (!device.vendorId.empty())
    text += (text.empty() ? "" : " ") + std::string("(USB ") + device.vendorId + ":" + device.productId + ")";
  if (!device.serialNumber.empty())
    text += (text.empty() ? "" : ", ") + std::string("serial ") + device.serialNumber;
  if (text.empty() && !device.driver.empty()) text = "driver " + device.driver;
  return text;
}

}  // namespace kbx
