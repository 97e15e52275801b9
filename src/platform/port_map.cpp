#include "platform/port_map.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "platform/decimal.h"
#include "platform/file_kind.h"
#include "platform/port_address.h"

namespace kbx {
namespace {

constexpr char kDefaultPrefix[] = "/dev/ttyS";

// True when both paths name the same existing file (symbolic links such as
// /dev/serial/by-id/... resolve to the device they point at).
bool SameDevice(const std::string& a, const std::string& b) {
  return a == b || SameFile(a, b);
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

void PortMap::Remember(int number, std::string device) {
  if (number >= 1 && !device.empty()) remembered_[number] = std::move(device);
}

std::vector<std::pair<int, std::string>> PortMap::NameAdapters() {
  std::set<int> taken;
  for (const SerialDevice& device : devices_) {
    if (!device.adapter) taken.insert(NumberOf(device.path));
  }
  std::vector<std::pair<int, std::string>> named;
  for (const SerialDevice& device : devices_) {
    if (!device.adapter || NamedNumberOf(device.path) > 0) continue;
    int number = 1;
    while (number <= kMaxAdapterNumber && (Named(number) || taken.count(number) != 0)) ++number;
    if (number > kMaxAdapterNumber) break;
    const std::string& name = device.stableName.empty() ? device.path : device.stableName;
    remembered_[number] = name;
    named.emplace_back(number, name);
  }
  return named;
}

std::string PortMap::Device(int number) const {
  if (number < 1) return "";
  for (const auto* names : {&overrides_, &remembered_}) {
    const auto it = names->find(number);
    if (it != names->end()) return it->second;
  }
  return root_ + kDefaultPrefix + std::to_string(number - 1);
}

bool PortMap::ParseMapping(const std::string& text, int& number, std::string& device, std::string* why) {
  const auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) return false;
  const auto value = ParseDecimal<int>(std::string_view(text).substr(0, eq));
  if (!value || *value < 1 || *value > kMaxNumber) return false;
  const std::string target = text.substr(eq + 1);
  if (NamesNetworkPort(target)) {
    std::string reason;
    if (!ParsePortAddress(target, reason)) {
      if (why != nullptr) *why = reason;
      return false;
    }
    number = *value;
    device = target;
    return true;
  }
  std::filesystem::path path = target;
  if (path.is_relative()) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (!ec) path = std::move(absolute);
  }
  number = *value;
  device = path.string();
  return true;
}

int PortMap::NamedNumberOf(const std::string& device) const {
  // A mapping for the run wins over the COM file.
  for (const auto& [number, mapped] : overrides_) {
    if (SameDevice(mapped, device)) return number;
  }
  for (const auto& [number, remembered] : remembered_) {
    if (overrides_.count(number) == 0 && SameDevice(remembered, device)) return number;
  }
  return 0;
}

int PortMap::NumberOf(const std::string& device) const {
  if (const int named = NamedNumberOf(device)) return named;
  const std::string prefix = root_ + kDefaultPrefix;
  if (device.compare(0, prefix.size(), prefix) != 0 || device.size() == prefix.size()) return 0;
  const auto index = ParseDecimal<int>(std::string_view(device).substr(prefix.size()));
  if (!index || *index >= kMaxNumber) return 0;
  const int number = *index + 1;
  // Only if that number has not been pointed elsewhere.
  return Named(number) ? 0 : number;
}

std::vector<PortInfo> PortMap::ListPorts() const {
  std::vector<PortInfo> ports;
  for (const SerialDevice& device : devices_)
    ports.push_back({device.path, DescribeDevice(device), NumberOf(device.path), device});
  std::map<int, std::string> named = overrides_;
  named.insert(remembered_.begin(), remembered_.end());
  for (const auto& entry : named) {
    const std::string& device = entry.second;
    // A network port is no file; of the others only a device of characters
    // can be a serial port.
    if (device.starts_with("/")) {
      struct stat info {};
      if (::stat(device.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) continue;
      const bool listed = std::any_of(ports.begin(), ports.end(),
                                      [&](const PortInfo& p) { return SameDevice(p.device, device); });
      if (listed) continue;
    }
    ports.push_back({device, "", entry.first, {}});
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
