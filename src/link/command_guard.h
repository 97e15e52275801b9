#pragma once

#include <functional>

#include "link/xcp_host.h"

namespace kbx {

// Runs one command of a front end. A run-time error that no operation
// trapped ends the command with a line on the board ("number description"),
// never the program. Returns the command's result, false after an error.
bool RunGuarded(XcpHost& host, const std::function<bool()>& command);

}  // namespace kbx
