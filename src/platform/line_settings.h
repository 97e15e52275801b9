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
};

// Parses "baud,parity,databits,stopbits" (a baud rate the port takes, the
// parity in either case); false if unsupported or malformed.
bool ParseLineSettings(const std::string& text, LineSettings& settings);

// The normal form, e.g. "19200,N,8,1".
std::string FormatLineSettings(const LineSettings& settings);

}  // namespace kbx
