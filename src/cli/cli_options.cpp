#include "cli/cli_options.h"

#include <algorithm>

namespace kbx {

const ProgramUsage& KbxUsage() {
  static const ProgramUsage usage{
      "kbx", "[OPTION]... COMMAND...",
      "\n"
      "Commands, run in order in one session with the UPS:\n"
      "  connect        connect to the UPS and identify it\n"
      "  runtime        read the battery time remaining\n"
      "  modules COUNT  tell the UPS that COUNT (0, 1 or 2) KBX modules are attached\n"
      "  info           show the UPS type, processor versions and meter map\n"
      "  ports          list every port: COM number, device, what the system says of\n"
      "                 it and the program that holds it (given alone; contacts no UPS)\n"
      "  scan           look for a UPS on every port at once: each serial device that\n"
      "                 no other program holds, each port of the COM file and --com;\n"
      "                 one line per port (given alone; identifies each unit,\n"
      "                 disconnects, sets nothing)\n",
      Concat({PortOptionTable(),
              SessionOptionTable(),
              {Flag("yes", "apply a module count without asking", 'y'),
               Flag("json", "print one JSON object when the session ends instead of the board lines")},
              HelpAndVersionOptionTable()}),
      "Exit status: 0 when every command succeeded (scan: a UPS was found), 1 when\n"
      "one failed (scan: none was found) or the output could not be written, 2 for\n"
      "usage errors, 128+N when signal N stopped the session (after the running\n"
      "command, with the UPS disconnected).\n"};
  return usage;
}

namespace {

// The commands in the operands, in order.
std::vector<CliCommand> ReadCommands(const std::vector<std::string>& operands) {
  std::vector<CliCommand> commands;
  for (std::size_t i = 0; i < operands.size(); ++i) {
    const std::string& word = operands[i];
    if (word == "connect") {
      commands.push_back({CliCommand::kConnect});
    } else if (word == "runtime") {
      commands.push_back({CliCommand::kRuntime});
    } else if (word == "info") {
      commands.push_back({CliCommand::kInfo});
    } else if (word == "ports") {
      commands.push_back({CliCommand::kPorts});
    } else if (word == "scan") {
      commands.push_back({CliCommand::kScan});
    } else if (word == "modules") {
      const std::string count = i + 1 < operands.size() ? operands[++i] : "";
      if (count != "0" && count != "1" && count != "2")
        throw UsageError("modules needs a COUNT of 0, 1 or 2");
      commands.push_back({CliCommand::kModules, static_cast<std::int16_t>(count[0] - '0')});
    } else {
      throw UsageError("unknown command \"" + word + "\"");
    }
  }
  return commands;
}

}  // namespace

bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& options, std::string& error) {
  std::vector<std::string> names;  // of the options given
  try {
    const CommandLine line = ParseCommandLine(KbxUsage().options, args);
    for (const GivenOption& given : line.options) {
      names.push_back(given.name);
      if (TakeSessionOption(given, options.session)) continue;
      if (given.name == "yes") options.yes = true;
      if (given.name == "json") options.json = true;
    }
    options.commands = ReadCommands(line.operands);
  } catch (const UsageError& e) {
    error = e.what();
    return false;
  }
  if (options.session.help || options.session.version) return true;
  if (options.commands.empty()) {
    error = "no command given";
    return false;
  }
  // ports and scan stand alone: they read the --com mappings (and print
  // --json); scan also talks at --baud with the access code. The rest they
  // would ignore.
  struct Alone {
    CliCommand::Kind kind;
    const char* name;
    std::vector<const char*> unused;
  };
  const Alone alone[] = {
      {CliCommand::kPorts,
       "ports",
       {"port", "baud", "yes", "access-code", "access-code-file", "simulate", "trace"}},
      {CliCommand::kScan, "scan", {"port", "yes", "simulate", "trace"}},
  };
  for (const Alone& command : alone) {
    const bool given = std::any_of(options.commands.begin(), options.commands.end(),
                                   [&](const CliCommand& c) { return c.kind == command.kind; });
    if (!given) continue;
    if (options.commands.size() > 1) {
      error = std::string(command.name) + " is given alone";
      return false;
    }
    for (const char* unused : command.unused) {
      if (std::find(names.begin(), names.end(), unused) != names.end()) {
        error = std::string(command.name) + " does not use --" + unused;
        return false;
      }
    }
  }
  return true;
}

}  // namespace kbx
