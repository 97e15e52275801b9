#include "platform/port_map.h"

#include <sys/stat.h>

#include <QSerialPortInfo>
#include <algorithm>
#include <climits>
#include <filesystem>
#include <system_error>

namespace kbx {
namespace {

constexpr char kDefaultPrefix[] = "/dev/ttyS";

// True when both paths name the same existing file (symbolic links such as
// /dev/serial/by-id/... resolve to the device they point at).
bool SameDevice(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

}  // namespace

void PortMap::Map(int number, std::string device) {
  if (number < 1) return;
  if (device.empty()) {
    overrides_.erase(number);
  } else {
    overrides_[number] = std::move(device);
  }
}

std::string PortMap::Device(int number) const {
  if (number < 1) return "";
  const auto it = overrides_.find(number);
  if (it != overrides_.end()) return it->second;
  return kDefaultPrefix + std::to_string(number - 1);
}

bool PortMap::ParseMapping(const std::string& text, int& number, std::string& device) {
  const auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) return false;
  long long value = 0;
  for (std::size_t i = 0; i < eq; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > kMaxNumber) return false;
  }
  if (value < 1) return false;
  std::filesystem::path path = text.substr(eq + 1);
  if (path.is_relative()) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (!ec) path = std::move(absolute);
  }
  number = static_cast<int>(value);
  device = path.string();
  return true;
}

int PortMap::NumberOf(const std::string& device) const {
  // An explicit mapping wins over the default naming.
  for (const auto& [number, mapped] : overrides_) {
    if (SameDevice(mapped, device)) return number;
  }
  const std::string prefix = kDefaultPrefix;
  if (device.compare(0, prefix.size(), prefix) != 0 || device.size() == prefix.size()) return 0;
  long long index = 0;
  for (std::size_t i = prefix.size(); i < device.size(); ++i) {
    const char c = device[i];
    if (c < '0' || c > '9') return 0;
    index = index * 10 + (c - '0');
    if (index >= INT_MAX) return 0;
  }
  const int number = static_cast<int>(index) + 1;
  // Only if that number has not been pointed elsewhere.
  return overrides_.count(number) == 0 ? number : 0;
}

std::vector<PortInfo> PortMap::ListPorts() const {
  std::vector<PortInfo> ports;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    const std::string device = info.systemLocation().toStdString();
    ports.push_back({device, info.description().toStdString(), NumberOf(device)});
  }
  for (const auto& entry : overrides_) {
    const std::string& mapped = entry.second;
    // Only a device of characters can be a serial port; a file is not.
    struct stat info {};
    if (::stat(mapped.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) continue;
    const bool listed = std::any_of(ports.begin(), ports.end(),
                                    [&mapped](const PortInfo& p) { return SameDevice(p.device, mapped); });
    if (!listed) ports.push_back({mapped, "", entry.first});
  }
  std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
    const bool aNumbered = a.comNumber > 0;
    const bool bNumbered = b.comNumber > 0;
    if (aNumbered != bNumbered) return aNumbered;
    if (aNumbered && a.comNumber != b.comNumber) return a.comNumber < b.comNumber;
    return a.device < b.device;
  });
  return ports;
}

}  // namespace kbx
