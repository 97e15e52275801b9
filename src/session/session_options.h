#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "session/command_line.h"

namespace kbx {

// The options of a session with a UPS. kbx and kbx-configurator share them
// (kbx-configurator has no --port and --baud: it starts on COM1 at 19200);
// kbx-ups-sim shares --access-code, --help and --version.
struct SessionOptions {
  int port = 1;                                           // --port N; the simulator sits on it too
  int baud = 19200;                                       // --baud RATE
  std::vector<std::pair<int, std::string>> mappings;      // --com N=DEVICE, DEVICE absolute
  std::optional<std::array<std::uint8_t, 3>> accessCode;  // --access-code HEX6, or from the two below
  std::string accessCodeFile;       // --access-code-file FILE; read by ResolveAccessCode
  std::optional<int> simulateType;  // --simulate [TYPE]
  std::string trace;                // --trace FILE; empty for none
  bool help = false;
  bool version = false;
  std::vector<std::string> warnings;  // for stderr, without the program's name
};

// The environment variable that may hold the access code.
inline constexpr char kAccessCodeVariable[] = "KBX_ACCESS_CODE";

// The type a simulated UPS has when --simulate names none.
inline constexpr int kDefaultSimulatedType = 290;

// Rows of the option tables: --port and --baud (kbx only); --com,
// --access-code, --simulate and --trace; --access-code alone; -h/--help and
// --version.
OptionTable PortOptionTable();
OptionTable SessionOptionTable();
OptionRow AccessCodeOption();
OptionRow AccessCodeFileOption();
OptionTable HelpAndVersionOptionTable();

// Takes a given option into `options` when it is one of the shared ones and
// returns true; false for any other. A bad value throws UsageError.
bool TakeSessionOption(const GivenOption& given, SessionOptions& options);

// Once --help and --version are answered: the access code from
// --access-code-file (its first line; a file other users may read gets a
// warning), else from KBX_ACCESS_CODE, unless --access-code gave it. Neither
// shows in the process's command line. A missing or malformed code throws
// UsageError.
void ResolveAccessCode(SessionOptions& options);

// A UPS type code, 0 to 65535, as the value of `option`; throws UsageError.
int ParseUpsTypeCode(const std::string& option, const std::string& text);

// What a program says about itself in --help.
struct ProgramUsage {
  std::string name;         // "kbx"
  std::string synopsis;     // what follows the name on the usage line
  std::string description;  // the text between the usage line and the options
  OptionTable options;
  std::string epilogue;  // the text after the options
};

std::string HelpText(const ProgramUsage& usage);
// The name and the version on one line, as --version prints them.
std::string VersionText(const std::string& program);
// A message as it goes to a terminal: control characters (of a path, say)
// escaped as \n, \t or \xNN, so that they can neither hide nor move text.
std::string ForTerminal(const std::string& text);

// The usage error as the programs print it on stderr, with the hint to --help.
std::string UsageErrorText(const std::string& program, const std::string& error);

// Writes the help or the version on `out` when either was asked for, and
// returns whether one was.
bool AnswerHelpOrVersion(const SessionOptions& options, const ProgramUsage& usage, std::ostream& out);

}  // namespace kbx
