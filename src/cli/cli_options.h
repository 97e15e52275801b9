#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/session_options.h"

namespace kbx {

struct CliCommand {
  enum Kind { kConnect, kRuntime, kModules, kInfo, kPorts, kScan } kind;
  std::int16_t count = 0;  // modules only
};

struct CliOptions {
  SessionOptions session;
  bool yes = false;
  bool json = false;  // one JSON object at the end instead of the board lines
  std::vector<CliCommand> commands;
};

// Reads the command line (without the program name). On a usage error returns
// false with the reason in `error`.
bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& options, std::string& error);

// kbx's usage: its synopsis, commands and option table, for --help.
const ProgramUsage& KbxUsage();

}  // namespace kbx
