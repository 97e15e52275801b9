#include "link/board_lines.h"

#include <set>
#include <string>

#include "link/protocol.h"

namespace kbx {

namespace {

std::set<std::string, std::less<>> FailureLines() {
  std::set<std::string, std::less<>> lines{kUnableToOpenPort,
                                           kPortAlreadyOpen,
                                           kInvalidPortNumber,
                                           kInvalidCommParameters,
                                           kInvalidBaudRate,
                                           kNoAck,
                                           kNoUpsFound,
                                           kInvalidUpsType,
                                           kProgramNeedsUpgrade,
                                           kUpsCodeNeedsUpgrade,
                                           kInvalidMachineType,
                                           kUnknownUpsType,
                                           kLinkDown,
                                           kErrorGettingRuntime,
                                           kErrorSettingKbxs,
                                           kErrorSettingBaseTime,
                                           kErrorUpdatingBaseTimeRam,
                                           kErrorResettingChecksum,
                                           kErrorSettingRamValue};
  // Every status but acceptance is a refusal, the unknown ones included.
  for (int status = 0; status <= 0xFF; ++status) {
    const std::string refusal = AckBoardLine(static_cast<std::uint8_t>(status));
    if (!refusal.empty()) lines.insert(refusal);
  }
  return lines;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// "number description [tag]": the error number, a blank, then the description.
bool IsErrorLine(std::string_view line) {
  std::size_t i = line.starts_with('-') ? 1 : 0;
  const std::size_t digits = i;
  while (i < line.size() && IsDigit(line[i])) ++i;
  return i > digits && i + 1 < line.size() && line[i] == ' ' && line[i + 1] != ' ';
}

}  // namespace

bool ReportsFailure(std::string_view line) {
  static const std::set<std::string, std::less<>> failures = FailureLines();
  return failures.contains(line) || IsErrorLine(line);
}

}  // namespace kbx
