#pragma once

#include <string>
#include <vector>

namespace kbx {

// A serial device the system lists, with what it says of it.
struct SerialDevice {
  std::string name;        // the kernel's name: "ttyUSB0", "ttyS0"
  std::string path;        // the device file: "/dev/ttyUSB0"
  std::string stableName;  // its name in /dev/serial/by-id that outlives a replug; "" when none
  std::string driver;      // "ftdi_sio", "cdc_acm", "serial8250"; "" when unknown
  std::string vendorId;    // USB ids as four hexadecimal digits; "" for a device not on USB
  std::string productId;
  std::string manufacturer;  // USB strings as the device gives them; may be empty
  std::string product;
  std::string serialNumber;
  bool adapter = false;  // a USB or ACM adapter (ttyUSB*, ttyACM*), not a port of the machine
};

// Where the machine's device listings are: "" for the real ones (/sys and
// /dev), else a folder that holds a sys/ and a dev/ of the same shape. Read
// from $KBX_SYSTEM_ROOT, so that a test can show a program a machine of its
// own making.
std::string SystemRoot();

// The serial devices below `root` (see SystemRoot), by kernel name. A UART the
// kernel lists without hardware behind it (its type reads 0) is none, nor is
// a terminal with no device behind it (the consoles, the pseudo-terminals).
std::vector<SerialDevice> FindSerialDevices(const std::string& root);

// What the system says of the device in a few words: manufacturer, product,
// USB ids and serial number, or the driver; "" when it says nothing.
std::string DescribeDevice(const SerialDevice& device);

}  // namespace kbx
