#include "cli/cli_options.h"

#include "link/numbers.h"
#include "platform/port_map.h"
#include "ups/xcp.h"

namespace kbx {

const char* const kCliUsage =
    "Usage: kbx [--port N] [--baud RATE] [--com N=DEVICE]... [--access-code HEX6]\n"
    "           [--simulate [TYPE]] [--trace FILE] [--yes] [--json] COMMAND...\n"
    "\n"
    "Commands, run in order in one session with the UPS:\n"
    "  connect        connect to the UPS and identify it\n"
    "  runtime        read the battery time remaining\n"
    "  modules COUNT  tell the UPS that COUNT (0, 1 or 2) KBX modules are attached\n"
    "  info           show the UPS type, processor versions and meter map\n"
    "  ports          list the serial devices and their COM numbers (alone; contacts no UPS)\n"
    "\n"
    "Options:\n"
    "  --port N           COM port number (default 1)\n"
    "  --baud RATE        baud rate (default 19200)\n"
    "  --com N=DEVICE     use DEVICE for COM N (e.g. --com 1=/dev/ttyUSB0); repeatable\n"
    "  --access-code HEX6 the code that unlocks the UPS's set commands\n"
    "  --simulate [TYPE]  run against a simulated UPS of TYPE (280, 281, 290, 292...; default 290)\n"
    "  --trace FILE       write every byte exchanged with the UPS, timed and decoded, to FILE\n"
    "  --yes              apply a module count without asking\n"
    "  --json             print one JSON object when the session ends instead of the board lines\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 when every command succeeded, 1 when one failed or the output could not be\n"
    "written, 2 for usage errors, 128+N when signal N stopped the session (after the running\n"
    "command, with the UPS disconnected).\n";

namespace {

bool IsWholeNumber(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& options, std::string& error) {
  auto value = [&](std::size_t& i, const std::string& name, std::string& out) {
    if (i + 1 >= args.size()) {
      error = name + " needs a value";
      return false;
    }
    out = args[++i];
    return true;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string v;
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--yes" || arg == "-y") {
      options.yes = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--port") {
      if (!value(i, arg, v)) return false;
      if (!IsWholeNumber(v) || std::stoi(v) < 1) {
        error = "--port needs a COM port number, not \"" + v + "\"";
        return false;
      }
      options.port = v;
    } else if (arg == "--baud") {
      if (!value(i, arg, v)) return false;
      options.baud = v;  // the port itself decides which rates it takes
    } else if (arg == "--com") {
      if (!value(i, arg, v)) return false;
      int number = 0;
      std::string device;
      if (!PortMap::ParseMapping(v, number, device)) {
        error = "--com needs N=DEVICE, not \"" + v + "\"";
        return false;
      }
      options.mappings.emplace_back(number, device);
    } else if (arg == "--access-code") {
      if (!value(i, arg, v)) return false;
      if (!ParseAccessCode(v, options.accessCode)) {
        error = "--access-code needs six hexadecimal digits";
        return false;
      }
      options.hasAccessCode = true;
    } else if (arg == "--trace") {
      if (!value(i, arg, v)) return false;
      if (v.empty()) {
        error = "--trace needs a file name";
        return false;
      }
      options.trace = v;
    } else if (arg == "--simulate") {
      options.simulate = true;
      if (i + 1 < args.size() && IsWholeNumber(args[i + 1])) {
        options.simulateType = std::stoi(args[++i]);
        if (options.simulateType > 65535) {
          error = "--simulate needs a UPS type code from 0 to 65535";
          return false;
        }
      }
    } else if (arg == "connect") {
      options.commands.push_back({CliCommand::kConnect});
    } else if (arg == "runtime") {
      options.commands.push_back({CliCommand::kRuntime});
    } else if (arg == "info") {
      options.commands.push_back({CliCommand::kInfo});
    } else if (arg == "ports") {
      options.commands.push_back({CliCommand::kPorts});
    } else if (arg == "modules") {
      if (i + 1 >= args.size() || (args[i + 1] != "0" && args[i + 1] != "1" && args[i + 1] != "2")) {
        error = "modules needs a COUNT of 0, 1 or 2";
        return false;
      }
      options.commands.push_back({CliCommand::kModules, static_cast<std::int16_t>(args[++i][0] - '0')});
    } else {
      error = "unknown " + std::string(arg.rfind("-", 0) == 0 ? "option" : "command") + " \"" + arg + "\"";
      return false;
    }
  }
  if (options.help || options.version) return true;
  if (options.commands.empty()) {
    error = "no command given";
    return false;
  }
  bool ports = false;
  for (const auto& c : options.commands) ports = ports || c.kind == CliCommand::kPorts;
  if (ports && options.commands.size() > 1) {
    error = "ports is given alone";
    return false;
  }
  return true;
}

}  // namespace kbx
