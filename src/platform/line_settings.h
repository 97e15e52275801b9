#pragma once

#include <string>

namespace kbx {

// The line settings of a serial port: baud rate, parity letter (N, E, O, M,
// S), data bits (5..8) and stop bits in halves (2 = 1, 3 = 1.5, 4 = 2).
struct LineSettings {
  int baud = 9600;
  char parity = 'N';
  int dataBits = 8;
  int stopHalves = 2;

  bool operator==(const LineSettings&) const = default;
};

// Whether a port takes these settings: a baud rate of the port's list, an
// upper-case parity letter, 5 to 8 data bits and 1, 1.5 or 2 stop bits.
bool Supported(const LineSettings& settings);

// The normal form, e.g. "19200,N,8,1".
std::string FormatLineSettings(const LineSettings& settings);

}  // namespace kbx
