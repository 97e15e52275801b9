// kbx-ups-sim: a simulated UPS on a pseudo-terminal. Prints the path of the
// serial device to open as its first line, then answers requests until it is
// interrupted (SIGINT, SIGTERM or SIGHUP).

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/descriptor_output.h"
#include "platform/network_line.h"
#include "platform/pseudo_terminal.h"
#include "platform/stop_signals.h"
#include "session/command_line.h"
#include "session/session_options.h"
#include "sim/pty_simulator.h"

namespace {

using kbx::UsageError;

const kbx::ProgramUsage& SimUsage() {
  static const kbx::ProgramUsage usage = [] {
    using kbx::Flag;
    using kbx::Heading;
    using kbx::Valued;
    kbx::OptionRow accessCode = kbx::AccessCodeOption();
    accessCode.help = "access code that unlocks set commands (default 4B4258)";
    const kbx::OptionTable own = {
        Heading("Unit:"),
        Valued("type", "CODE",
               "UPS type code, 0..65535 (default 290; 281 turns into 280 on the switch request)"),
        Valued("versions", "LIST",
               "processor versions, major.minor with the minor as two hex digits, comma-separated (default "
               "1.03,1.03)"),
        Valued("meter-format", "HEX", "format code of meter 36 (default F0; 00 leaves it out)"),
        Valued("battery-time", "SECONDS", "battery time with no module attached (default 1800)"),
        Valued("modules", "N", "module count committed at power-up, 0..2 (default 0)"),
        accessCode,
        kbx::AccessCodeFileOption(),
        Valued("listen", "KIND:PORT",
               "serve on the loopback network as a serial server would, instead of on a pseudo-terminal: "
               "rfc2217:PORT (telnet with RFC 2217) or tcp:PORT (raw TCP), PORT 0 for a free one; the first "
               "line printed is then the address to open"),
        Valued("log", "FILE", "log every request frame with a time stamp and the line settings it came at"),
        Heading("Faults:"),
        Flag("silent", "never answer"),
        Valued("busy", "N", "answer the first N answered requests with status 33"),
        kbx::OptionalValued("bad-checksum", "N", "corrupt the checksum of every answer (or the first N)"),
        Valued("split", "N", "at most N data bytes per answer frame (1..255)"),
        Valued("refuse", "CMD=STATUS", "answer command CMD with status STATUS (hex)", true),
        Valued("long-answer", "SEL[=N]",
               "pad the data of the answers to SEL to N bytes (default 1100): more than a 1024-byte receive "
               "buffer holds"),
        Heading("Line faults (SEL picks requests: CMD, the command byte in hex, for every request with it; "
                "CMD:K for the K-th of them only; all, or all:K for the K-th request of any kind):"),
        Valued("link", "PATH",
               "also reach the device through a symbolic link at PATH, which follows it when it comes back "
               "after --unplug; the first line printed is then PATH"),
        Flag("force", "let --link replace a symbolic link at PATH that the simulator did not make"),
        Valued("unplug", "SEL[=MS]",
               "the device vanishes when SEL arrives (the request is carried out, the answer lost) and comes "
               "back after MS ms (default 2000) as a new pseudo-terminal"),
        Valued(
            "noise", "SEL=MS",
            "after answering SEL the line does not fall quiet for MS ms: a byte of noise every --noise-gap "
            "ms"),
        Valued("noise-gap", "MS", "pause between noise bytes (default 10)"),
        Valued("trickle", "SEL=MIN[-MAX]",
               "answers to SEL go out one byte at a time, each after a pause of MIN to MAX ms"),
        Valued("seed", "N", "seed of the trickle pauses (default 1)"),
        Valued("delay", "SEL=MS", "hold the answers to SEL back for MS ms more"),
        Valued("garbage", "SEL[=N]", "N bytes of garbage (default 3) before the answers to SEL"),
        Heading(""),
    };
    return kbx::ProgramUsage{"kbx-ups-sim", "[OPTION]...",
                             "Simulates a UPS on a pseudo-terminal. The first line printed is the serial\n"
                             "device to open; the simulator then serves until SIGINT, SIGTERM or SIGHUP.\n"
                             "\n",
                             kbx::Concat({own, kbx::HelpAndVersionOptionTable()}), ""};
  }();
  return usage;
}

// Every number of an option is read here, and every one that is wrong is
// told the same way: "--split needs a number from 1 to 255, not "256"".
unsigned long ParseNumber(const std::string& option, const std::string& text, int base, unsigned long min,
                          unsigned long max) {
  std::size_t used = 0;
  unsigned long value = 0;
  try {
    if (text.empty() || text[0] == '-' || text[0] == '+') throw std::invalid_argument(text);
    value = std::stoul(text, &used, base);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < min || value > max) {
    char range[64];
    if (base == 16) {
      std::snprintf(range, sizeof range, "a hexadecimal number from %02lX to %02lX", min, max);
    } else {
      std::snprintf(range, sizeof range, "a number from %lu to %lu", min, max);
    }
    throw UsageError(option + " needs " + range + ", not \"" + text + "\"");
  }
  return value;
}

unsigned long ParseNumber(const std::string& option, const std::string& text, int base, unsigned long max) {
  return ParseNumber(option, text, base, 0, max);
}

std::uint8_t ParseHexByte(const std::string& option, std::string text) {
  const std::string given = text;
  if (text.size() > 2 && (text.starts_with("0x") || text.starts_with("0X"))) text = text.substr(2);
  try {
    return static_cast<std::uint8_t>(ParseNumber(option, text, 16, 0xFF));
  } catch (const UsageError&) {
    throw UsageError(option + " needs a hexadecimal number from 00 to FF, not \"" + given + "\"");
  }
}

std::vector<kbx::FirmwareVersion> ParseVersions(const std::string& text) {
  std::vector<kbx::FirmwareVersion> versions;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    const std::size_t dot = item.find('.');
    if (dot == std::string::npos || dot == 0 || item.size() - dot - 1 != 2)
      throw UsageError("--versions needs versions such as 1.03, not \"" + item + "\"");
    versions.emplace_back(ParseHexByte("--versions", item.substr(0, dot)),
                          ParseHexByte("--versions", item.substr(dot + 1)));
    start = comma + 1;
  }
  if (versions.size() > 255)
    throw UsageError("--versions needs at most 255 versions, not " + std::to_string(versions.size()));
  return versions;
}

// SEL: "all", "all:K", "CMD" or "CMD:K" (CMD in hex, K from 1).
kbx::RequestSelector ParseSelector(const std::string& option, const std::string& text) {
  kbx::RequestSelector selector;
  const std::size_t colon = text.find(':');
  const std::string what = text.substr(0, colon);
  selector.command = what == "all" ? kbx::RequestSelector::kAnyCommand : ParseHexByte(option, what);
  if (colon != std::string::npos) {
    selector.occurrence = static_cast<int>(ParseNumber(option, text.substr(colon + 1), 10, 1, 1000000));
  }
  return selector;
}

// "SEL=VALUE" (VALUE required unless a default is given).
std::pair<kbx::RequestSelector, std::string> ParseSelected(const std::string& option, const std::string& text,
                                                           const char* fallback = nullptr) {
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos && fallback == nullptr)
    throw UsageError(option + " needs SEL=VALUE, e.g. 78:2=1500");
  const std::string value = eq == std::string::npos ? fallback : text.substr(eq + 1);
  return {ParseSelector(option, text.substr(0, eq)), value};
}

int ParseMs(const std::string& option, const std::string& text) {
  return static_cast<int>(ParseNumber(option, text, 10, 3600000));
}

struct Command {
  kbx::SimOptions options;
  kbx::LineFaults faults;
  std::string logPath;
  std::string linkPath;
  std::string listenKind;  // "rfc2217" or "tcp" with --listen
  int listenPort = 0;
  bool force = false;  // --link may replace a symbolic link that is not ours
};

// Throws UsageError.
Command ReadCommandLine(const std::vector<std::string>& args, kbx::SessionOptions& shared) {
  const kbx::CommandLine line = kbx::ParseCommandLine(SimUsage().options, args);
  kbx::RejectOperands(line);
  Command command;
  kbx::SimOptions& o = command.options;
  kbx::LineFaults& f = command.faults;
  for (const kbx::GivenOption& given : line.options) {
    if (kbx::TakeSessionOption(given, shared)) continue;
    const std::string name = "--" + given.name;
    const std::string value = given.value.value_or("");
    if (name == "--type") {
      o.type = kbx::ParseUpsTypeCode(name, value);
    } else if (name == "--versions") {
      o.versions = ParseVersions(value);
    } else if (name == "--meter-format") {
      o.meter36Format = ParseHexByte(name, value);
    } else if (name == "--battery-time") {
      o.batteryTime = static_cast<int>(ParseNumber(name, value, 10, 1000000));
    } else if (name == "--modules") {
      o.moduleCount = static_cast<int>(ParseNumber(name, value, 10, 2));
    } else if (name == "--log") {
      command.logPath = value;
      if (command.logPath.empty()) throw UsageError("--log needs a file name");
    } else if (name == "--silent") {
      o.silent = true;
    } else if (name == "--busy") {
      o.busy = static_cast<int>(ParseNumber(name, value, 10, 1000000));
    } else if (name == "--bad-checksum") {
      o.badChecksum = given.value ? static_cast<int>(ParseNumber(name, value, 10, 1000000))
                                  : kbx::SimOptions::kEveryAnswer;
    } else if (name == "--split") {
      o.split = static_cast<int>(ParseNumber(name, value, 10, 1, 255));
    } else if (name == "--refuse") {
      const std::size_t eq = value.find('=');
      if (eq == std::string::npos) throw UsageError("--refuse needs CMD=STATUS, e.g. 95=35");
      o.refuse[ParseHexByte(name, value.substr(0, eq))] = ParseHexByte(name, value.substr(eq + 1));
    } else if (name == "--long-answer") {
      const auto [selector, length] = ParseSelected(name, value, "1100");
      o.longAnswer = selector;
      o.longAnswerLength = static_cast<int>(ParseNumber(name, length, 10, 127 * 140));
    } else if (name == "--listen") {
      const std::size_t colon = value.find(':');
      command.listenKind = value.substr(0, colon);
      if (colon == std::string::npos || (command.listenKind != "rfc2217" && command.listenKind != "tcp"))
        throw UsageError("--listen needs rfc2217:PORT or tcp:PORT, not \"" + value + "\"");
      command.listenPort = static_cast<int>(ParseNumber(name, value.substr(colon + 1), 10, 65535));
    } else if (name == "--link") {
      command.linkPath = value;
      if (command.linkPath.empty()) throw UsageError("--link needs a path");
    } else if (name == "--force") {
      command.force = true;
    } else if (name == "--unplug") {
      const auto [selector, ms] = ParseSelected(name, value, "2000");
      f.unplug = selector;
      f.replugAfterMs = ParseMs(name, ms);
    } else if (name == "--noise") {
      const auto [selector, ms] = ParseSelected(name, value);
      f.noise = selector;
      f.noiseMs = ParseMs(name, ms);
    } else if (name == "--noise-gap") {
      f.noiseGapMs = static_cast<int>(ParseNumber(name, value, 10, 1, 3600000));
    } else if (name == "--trickle") {
      const auto [selector, range] = ParseSelected(name, value);
      f.trickle = selector;
      const std::size_t dash = range.find('-');
      f.trickleMinMs = ParseMs(name, range.substr(0, dash));
      f.trickleMaxMs = dash == std::string::npos ? f.trickleMinMs : ParseMs(name, range.substr(dash + 1));
      if (f.trickleMaxMs < f.trickleMinMs)
        throw UsageError("--trickle needs MIN-MAX with MIN no more than MAX, not \"" + range + "\"");
    } else if (name == "--seed") {
      f.seed = static_cast<unsigned>(ParseNumber(name, value, 10, 0xFFFFFFFFul));
    } else if (name == "--delay") {
      const auto [selector, ms] = ParseSelected(name, value);
      f.delay = selector;
      f.delayMs = ParseMs(name, ms);
    } else if (name == "--garbage") {
      const auto [selector, count] = ParseSelected(name, value, "3");
      f.garbage = selector;
      f.garbageBytes = static_cast<int>(ParseNumber(name, count, 10, 100000));
    }
  }
  if (!command.listenKind.empty() && !command.linkPath.empty())
    throw UsageError("--listen and --link do not go together: a network port has no device to link to");
  if (!command.listenKind.empty() && f.unplug.Active())
    throw UsageError("--listen and --unplug do not go together: a network port cannot be unplugged");
  return command;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed stdout must not become the pseudo-terminal or the log.
  kbx::ReserveStandardDescriptors();
  kbx::SessionOptions shared;
  std::optional<Command> command;
  try {
    command = ReadCommandLine(std::vector<std::string>(argv + 1, argv + argc), shared);
  } catch (const UsageError& error) {
    std::cerr << kbx::UsageErrorText("kbx-ups-sim", error.what());
    return 2;
  }
  if (kbx::AnswerHelpOrVersion(shared, SimUsage(), std::cout)) return 0;
  try {
    kbx::ResolveAccessCode(shared);
  } catch (const UsageError& error) {
    std::cerr << kbx::UsageErrorText("kbx-ups-sim", error.what());
    return 2;
  }
  for (const std::string& warning : shared.warnings)
    std::cerr << "kbx-ups-sim: " << kbx::ForTerminal(warning) << '\n';
  if (shared.accessCode) command->options.accessCode = *shared.accessCode;

  kbx::DescriptorOutput standardOutput(STDOUT_FILENO);
  std::ostream out(&standardOutput);
  try {
    kbx::BlockStopSignals();  // before the serving thread exists, so that it inherits the mask
    std::unique_ptr<kbx::NetworkLine> network;
    std::string address;
    if (!command->listenKind.empty()) {
      network = std::make_unique<kbx::NetworkLine>(command->listenKind, command->listenPort);
      address = network->Address();
    }
    kbx::PtySimulator simulator =
        network
            ? kbx::PtySimulator(command->options, std::move(network), command->logPath, 5, command->faults)
            : kbx::PtySimulator(command->options, command->logPath, 5, command->faults);
    // A failure while serving (the log cannot be written) ends the program as a signal would.
    simulator.OnFailure([] { ::kill(::getpid(), SIGTERM); });
    if (!command->linkPath.empty()) simulator.LinkAt(command->linkPath, command->force);
    simulator.Start();
    out << (!address.empty()            ? address
            : command->linkPath.empty() ? simulator.SlavePath()
                                        : command->linkPath)
        << '\n'
        << std::flush;
    if (standardOutput.Failed()) {
      std::cerr << "kbx-ups-sim: cannot write the device path: " << standardOutput.ErrorText() << '\n';
      return 1;
    }
    kbx::WaitForStopSignal();
    simulator.Stop();
    if (!simulator.Error().empty()) {
      std::cerr << "kbx-ups-sim: " << kbx::ForTerminal(simulator.Error()) << '\n';
      return 1;
    }
  } catch (const std::invalid_argument& error) {
    std::cerr << "kbx-ups-sim: " << kbx::ForTerminal(error.what()) << '\n';
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "kbx-ups-sim: " << kbx::ForTerminal(error.what()) << '\n';
    return 1;
  }
  return 0;
}
