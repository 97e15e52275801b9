#pragma once

#include <string>

#include "ups/xcp.h"

namespace kbx {

inline constexpr const char* kProgramTitle = "KBX Configurator";
inline constexpr const char* kDefaultBaud = "19200";
inline constexpr const char* kDefaultPort = "1";

// Start-up: the module state to its initial values, then the port opened with
// the given settings (the defaults unless a front end was told otherwise).
// Returns the text of the start-up message box, "" when there is none to show.
std::string StartUp(Xcp& xcp, const std::string& baud = kDefaultBaud, const std::string& port = kDefaultPort);

}  // namespace kbx
