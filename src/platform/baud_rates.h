#pragma once

#include <array>

namespace kbx {

// The baud rates the serial port takes, in ascending order.
inline constexpr std::array<int, 16> kBaudRates = {110,   300,   600,   1200,  2400,  4800,   9600,   14400,
                                                   19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};

}  // namespace kbx
