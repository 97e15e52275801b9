#pragma once

#include <map>
#include <string>
#include <vector>

namespace kbx {

// A serial device found on the machine.
struct PortInfo {
  std::string device;       // e.g. "/dev/ttyUSB0"
  std::string description;  // what the system says about it; may be empty
  int comNumber;            // the COM number that names it; 0 if none does
};

// Which device a COM port number names. By default COM n is /dev/ttyS(n-1);
// single numbers can be pointed elsewhere, e.g. at a USB adapter or at a
// pseudo-terminal ("--com 3=/dev/ttyUSB0").
class PortMap {
 public:
  // Points COM `number` at `device`. An empty device restores the default.
  // Numbers below 1 are ignored.
  void Map(int number, std::string device);

  // The device path of COM `number`; "" for a number below 1.
  std::string Device(int number) const;

  // The highest COM number a port can have.
  static constexpr int kMaxNumber = 32767;

  // Parses "N=DEVICE" (N a decimal number from 1 to kMaxNumber, DEVICE not
  // empty). A relative DEVICE is made absolute against the current folder, so
  // that it names the same file wherever it is looked up. On failure returns
  // false and leaves number and device unchanged.
  static bool ParseMapping(const std::string& text, int& number, std::string& device);

  // The serial devices of the machine, plus the explicitly mapped devices
  // that exist, each with the COM number that names it. Numbered devices come
  // first, in number order; the others follow by name.
  std::vector<PortInfo> ListPorts() const;

 private:
  // The COM number that names `device`, 0 if none does.
  int NumberOf(const std::string& device) const;

  std::map<int, std::string> overrides_;
};

}  // namespace kbx
