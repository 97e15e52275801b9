#include "session/session_options.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/baud_rates.h"
#include "platform/decimal.h"
#include "platform/port_map.h"
#include "platform/secret_file.h"
#include "platform/version.h"
#include "ups/xcp.h"

namespace kbx {
namespace {

// A decimal number from 0 to `max`, digits only; nothing when it is not one.
std::optional<int> WholeNumber(const std::string& text, int max) {
  const auto value = ParseDecimal<int>(text);
  if (!value || *value > max) return std::nullopt;
  return value;
}

bool IsDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::string BaudRateList() {
  std::string list;
  for (const int rate : kBaudRates) list += (list.empty() ? "" : ", ") + std::to_string(rate);
  return list;
}

}  // namespace

OptionTable PortOptionTable() {
  const SessionOptions defaults;
  return {
      Valued("port", "N",
             "the COM port number, 1 to " + std::to_string(PortMap::kMaxNumber) + " (default " +
                 std::to_string(defaults.port) + ")"),
      Valued("baud", "RATE",
             "the baud rate, one of " + BaudRateList() + " (default " + std::to_string(defaults.baud) + ")"),
  };
}

OptionRow AccessCodeOption() {
  return Valued("access-code", "HEX6",
                "the code that unlocks the UPS's set commands, six hexadecimal digits");
}

OptionRow AccessCodeFileOption() {
  return Valued("access-code-file", "FILE",
                "read the access code from the first line of FILE, unseen by other users (also: "
                "KBX_ACCESS_CODE in the environment)");
}

OptionTable SessionOptionTable() {
  return {
      Valued("com", "N=DEVICE", "use DEVICE for COM N (e.g. --com 1=/dev/ttyUSB0)", true),
      AccessCodeOption(),
      AccessCodeFileOption(),
      OptionalValued("simulate", "TYPE",
                     "run against a simulated UPS of TYPE (280, 281, 290, 292...; default " +
                         std::to_string(kDefaultSimulatedType) + ") on the COM port",
                     IsDigits),
      Valued("trace", "FILE", "write every byte exchanged with the UPS, timed and decoded, to FILE"),
  };
}

OptionTable HelpAndVersionOptionTable() {
  return {Flag("help", "show this help and exit", 'h'), Flag("version", "show the version and exit")};
}

int ParseUpsTypeCode(const std::string& option, const std::string& text) {
  const std::optional<int> type = WholeNumber(text, 65535);
  if (!type) throw UsageError(option + " needs a UPS type code from 0 to 65535");
  return *type;
}

bool TakeSessionOption(const GivenOption& given, SessionOptions& options) {
  const std::string option = "--" + given.name;
  const std::string value = given.value.value_or("");
  if (given.name == "port") {
    const std::optional<int> port = WholeNumber(value, PortMap::kMaxNumber);
    if (!port || *port < 1) {
      throw UsageError(option + " needs a COM port number from 1 to " + std::to_string(PortMap::kMaxNumber) +
                       ", not " + Quoted(value));
    }
    options.port = *port;
  } else if (given.name == "baud") {
    const std::optional<int> baud = WholeNumber(value, kBaudRates.back());
    if (!baud || std::find(kBaudRates.begin(), kBaudRates.end(), *baud) == kBaudRates.end())
      throw UsageError(option + " needs a rate the port takes (" + BaudRateList() + "), not " +
                       Quoted(value));
    options.baud = *baud;
  } else if (given.name == "com") {
    int number = 0;
    std::string device;
    std::string why;
    if (!PortMap::ParseMapping(value, number, device, &why)) {
      if (!why.empty()) throw UsageError(option + ": " + why);
      throw UsageError(option + " needs N=DEVICE with N from 1 to " + std::to_string(PortMap::kMaxNumber) +
                       ", not " + Quoted(value));
    }
    options.mappings.emplace_back(number, device);
  } else if (given.name == "access-code") {
    std::array<std::uint8_t, 3> code{};
    if (!ParseAccessCode(value, code)) throw UsageError(option + " needs six hexadecimal digits");
    options.accessCode = code;
  } else if (given.name == "access-code-file") {
    if (value.empty()) throw UsageError(option + " needs a file name");
    options.accessCodeFile = value;
  } else if (given.name == "simulate") {
    options.simulateType = given.value ? ParseUpsTypeCode(option, value) : kDefaultSimulatedType;
  } else if (given.name == "trace") {
    if (value.empty()) throw UsageError(option + " needs a file name");
    options.trace = value;
  } else if (given.name == "help") {
    options.help = true;
  } else if (given.name == "version") {
    options.version = true;
  } else {
    return false;
  }
  return true;
}

void ResolveAccessCode(SessionOptions& options) {
  AccessCode code{};
  if (!options.accessCodeFile.empty()) {
    const std::string& path = options.accessCodeFile;
    if (options.accessCode) throw UsageError("give --access-code or --access-code-file, not both");
    std::string error;
    const std::optional<SecretLine> line = ReadSecretLine(path, error);
    if (!line) throw UsageError("--access-code-file: cannot read " + Quoted(path) + ": " + error);
    if (!ParseAccessCode(line->text, code))
      throw UsageError("--access-code-file needs a file whose first line is six hexadecimal digits");
    if (line->readableByOthers) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", line->mode);
      options.warnings.push_back("warning: other users may read the access code in " + Quoted(path) +
                                 " (mode " + mode + "); chmod 600 it");
    }
    options.accessCode = code;
  } else if (!options.accessCode) {
    const char* value = std::getenv(kAccessCodeVariable);
    if (!value || !*value) return;
    if (!ParseAccessCode(value, code))
      throw UsageError(std::string(kAccessCodeVariable) + " needs six hexadecimal digits");
    options.accessCode = code;
  }
}

std::string HelpText(const ProgramUsage& usage) {
  std::string text = "Usage: " + usage.name + " " + usage.synopsis + "\n" + usage.description;
  if (usage.options.empty() || !usage.options.front().name.empty()) text += "\nOptions:\n";
  text += OptionHelp(usage.options);
  if (!usage.epilogue.empty()) text += "\n" + usage.epilogue;
  return text;
}

std::string VersionText(const std::string& program) {
  return program + " " + kProgramVersion + "\n";
}

std::string ForTerminal(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string UsageErrorText(const std::string& program, const std::string& error) {
  return program + ": " + ForTerminal(error) + "\nTry '" + program + " --help'.\n";
}

bool AnswerHelpOrVersion(const SessionOptions& options, const ProgramUsage& usage, std::ostream& out) {
  if (options.help) {
    out << HelpText(usage);
  } else if (options.version) {
    out << VersionText(usage.name);
  }
  return options.help || options.version;
}

}  // namespace kbx
