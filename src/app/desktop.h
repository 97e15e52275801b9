#pragma once

#include <string>
#include <vector>

#include "session/session_options.h"

namespace kbx {

class MainWindow;
class Xcp;

// Reads the command line (without the program name): the shared options but
// --port and --baud, and no operands. On a usage error returns false with the
// reason in `error`.
bool ParseDesktopOptions(const std::vector<std::string>& args, SessionOptions& options, std::string& error);

// kbx-configurator's usage and option table, for --help.
const ProgramUsage& DesktopUsage();

// Start-up with the window created: the module state, the port opened with
// the default settings, the window shown, and the start-up box over it when
// the port failed in a way worth a box.
void StartDesktop(MainWindow& window, Xcp& xcp);

}  // namespace kbx
