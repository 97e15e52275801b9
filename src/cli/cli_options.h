#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kbx {

struct CliCommand {
  enum Kind { kConnect, kRuntime, kModules, kInfo, kPorts } kind;
  std::int16_t count = 0;  // modules only
};

struct CliOptions {
  std::string port = "1";
  std::string baud = "19200";
  std::vector<std::pair<int, std::string>> mappings;  // --com N=DEVICE
  bool hasAccessCode = false;
  std::array<std::uint8_t, 3> accessCode{};
  bool simulate = false;
  int simulateType = 290;
  bool yes = false;
  bool json = false;  // one JSON object at the end instead of the board lines
  std::string trace;  // --trace FILE; empty for none
  bool help = false;
  bool version = false;
  std::vector<CliCommand> commands;
};

// Reads the command line (without the program name). On a usage error returns
// false with the reason in `error`.
bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& options, std::string& error);

extern const char* const kCliUsage;

}  // namespace kbx
