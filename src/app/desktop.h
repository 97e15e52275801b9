#pragma once

#include <functional>
#include <string>
#include <vector>

#include "session/session_options.h"
#include "ups/startup.h"

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
// the port failed in a way worth a box. Where the port said why it could
// not be opened and what to do about it, the box says so too, and a port the
// user may not open (8012) gets a box of its own. `notes` (what the COM file
// got wrong) go into the box as well.
void StartDesktop(MainWindow& window, Xcp& xcp, const std::vector<std::string>& notes = {});

// The whole desktop program: its command line, the start-up, the windows
// until they close, and its exit status (128 + the signal after a stop
// signal). `onWindow` sees the main window before start-up (for the tests
// that drive the program as a process).
int RunDesktop(int argc, char** argv, const std::function<void(MainWindow&)>& onWindow = {});

// The text of the start-up box: the start-up's line, then the reason and the
// fix of a failed open, then the notes; "" when there is nothing to show.
std::string StartUpBoxText(const StartUpOutcome& started, const std::vector<std::string>& notes = {});

}  // namespace kbx
