#pragma once

// A line of the status board and whether it reports a failure. The writers
// know which of their lines do (the fixed lines below, the UPS's refusals,
// the error lines of the trap) and say so; the window draws those in its
// warning colour. Progress and success lines ("Connecting...", "UPS Found",
// "Done") are written as plain text.

#include <string>
#include <utility>

namespace kbx {

struct BoardLine {
  std::string text;
  bool failure = false;

  BoardLine(std::string lineText, bool reportsFailure = false)  // NOLINT: text is a progress line
      : text(std::move(lineText)), failure(reportsFailure) {}
  BoardLine(const char* lineText) : text(lineText) {}  // NOLINT: as above
  friend bool operator==(const BoardLine&, const BoardLine&) = default;
};

// A line that reports a failure.
inline BoardLine FailureLine(std::string text) {
  return {std::move(text), true};
}

// The text of one of the fixed failure lines: it goes on the board flagged.
struct FailureText {
  const char* text;
  operator BoardLine() const { return FailureLine(text); }  // NOLINT: the point of the type
};

// Port failures (OpenPort).
inline constexpr FailureText kUnableToOpenPort{"Unable to open port"};
inline constexpr FailureText kPortAlreadyOpen{"Port already open"};
inline constexpr FailureText kInvalidPortNumber{"Invalid port number"};
inline constexpr FailureText kInvalidCommParameters{"Invalid communications parameters"};
inline constexpr FailureText kInvalidBaudRate{"Invalid Baud Rate"};

// The acknowledgement that never came; the refusals are AckBoardLine's (link/protocol.h).
inline constexpr FailureText kNoAck{"NO ACK"};

// Connection and identification.
inline constexpr FailureText kNoUpsFound{"NO UPS Found"};
inline constexpr FailureText kInvalidUpsType{"Invalid UPS Type"};
inline constexpr FailureText kProgramNeedsUpgrade{"KBX Configurator needs upgrade to newer version"};
inline constexpr FailureText kUpsCodeNeedsUpgrade{"UPS code needs upgrade to newer version"};
inline constexpr FailureText kInvalidMachineType{"Invalid Machine Type"};
inline constexpr FailureText kUnknownUpsType{"Unknown UPS Type"};

// A command that needs the link, refused without it.
inline constexpr FailureText kLinkDown{"Link Down"};

// Runtime and module configuration.
inline constexpr FailureText kErrorGettingRuntime{"Error Getting Runtime"};
inline constexpr FailureText kErrorSettingKbxs{"Error Setting KBXs"};
inline constexpr FailureText kErrorSettingBaseTime{"Error Setting Battery Base Time"};
inline constexpr FailureText kErrorUpdatingBaseTimeRam{"Error Updating Battery Base Time RAM value"};
inline constexpr FailureText kErrorResettingChecksum{"Error Resetting EEPROM Checksum"};
inline constexpr FailureText kErrorSettingRamValue{"Error Setting RAM Value"};

}  // namespace kbx
