#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/serial_devices.h"

namespace kbx {

// A port the machine has or a COM number names.
struct PortInfo {
  std::string device;       // e.g. "/dev/ttyUSB0", or the COM number's DEVICE
  std::string description;  // what the system says about it; may be empty
  int comNumber;            // the COM number that names it; 0 if none does
  SerialDevice system;      // what the system lists of it; empty for a port it does not list
};

// Which device a COM port number names. By default COM n is /dev/ttyS(n-1).
// The COM file names others (Remember), a USB or ACM adapter gets a number
// of its own (NameAdapters), and a number can be pointed elsewhere for one
// run ("--com 3=/dev/ttyUSB0", Map), which wins over both. A number may also
// name a serial server on the network ("rfc2217://10.1.2.3:7001", see
// PortAddress).
class PortMap {
 public:
  // The devices below `root` (see SystemRoot): COM n is ROOT/dev/ttyS(n-1).
  explicit PortMap(std::string root = "") : root_(std::move(root)) {}

  // Points COM `number` at `device` for this run. An empty device restores
  // what the number named before. Numbers below 1 are ignored.
  void Map(int number, std::string device);

  // What the COM file says COM `number` is.
  void Remember(int number, std::string device);

  // The serial devices of the machine, for ListPorts and NameAdapters.
  void SetDevices(std::vector<SerialDevice> devices) { devices_ = std::move(devices); }

  // Gives each adapter among the devices that no number names yet the lowest
  // COM number from 1 to kMaxAdapterNumber that names nothing: no port of
  // the machine (a ttyS the system lists), no number remembered or mapped.
  // Returns the numbers given, each with the name to remember it by (the
  // stable one where there is one), for the COM file.
  std::vector<std::pair<int, std::string>> NameAdapters();

  // The device path of COM `number`; "" for a number below 1.
  std::string Device(int number) const;

  // The highest COM number a port can have.
  static constexpr int kMaxNumber = 32767;
  // The highest number an adapter is given: what the Port dialog takes.
  static constexpr int kMaxAdapterNumber = 9;

  // Parses "N=DEVICE" (N a decimal number from 1 to kMaxNumber, DEVICE not
  // empty). A relative DEVICE is made absolute against the current folder, so
  // that it names the same file wherever it is looked up; a network port
  // stays as it is, and must be well formed. On failure returns false and
  // leaves number and device unchanged; `why` then says what is wrong with a
  // malformed network port (and stays as it is otherwise).
  static bool ParseMapping(const std::string& text, int& number, std::string& device,
                           std::string* why = nullptr);

  // The serial devices of the machine, plus the mapped and remembered
  // devices that exist and the ports that are no device file (a network
  // port), each with the COM number that names it. Numbered ports come
  // first, in number order; the others follow by name.
  std::vector<PortInfo> ListPorts() const;

 private:
  // The COM number that names `device`, 0 if none does.
  int NumberOf(const std::string& device) const;
  // The number a mapping or the COM file gives `device`; 0 if none does.
  int NamedNumberOf(const std::string& device) const;
  // Whether COM `number` is taken by a mapping or the COM file.
  bool Named(int number) const { return overrides_.count(number) != 0 || remembered_.count(number) != 0; }

  std::string root_;
  std::vector<SerialDevice> devices_;
  std::map<int, std::string> remembered_;
  std::map<int, std::string> overrides_;
};

}  // namespace kbx
