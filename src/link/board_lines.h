#pragma once

// The board lines with which the program reports that something failed,
// written once: the operations write them, and the main window recognises
// them to draw them in its warning colour. Progress and success lines
// ("Connecting...", "UPS Found", "Done") are every other line.

#include <string_view>

namespace kbx {

// Port failures (OpenPort).
inline constexpr char kUnableToOpenPort[] = "Unable to open port";
inline constexpr char kPortAlreadyOpen[] = "Port already open";
inline constexpr char kInvalidPortNumber[] = "Invalid port number";
inline constexpr char kInvalidCommParameters[] = "Invalid communications parameters";
inline constexpr char kInvalidBaudRate[] = "Invalid Baud Rate";

// The acknowledgement that never came; the refusals are AckBoardLine's (link/protocol.h).
inline constexpr char kNoAck[] = "NO ACK";

// Connection and identification.
inline constexpr char kNoUpsFound[] = "NO UPS Found";
inline constexpr char kInvalidUpsType[] = "Invalid UPS Type";
inline constexpr char kProgramNeedsUpgrade[] = "KBX Configurator needs upgrade to newer version";
inline constexpr char kUpsCodeNeedsUpgrade[] = "UPS code needs upgrade to newer version";
inline constexpr char kInvalidMachineType[] = "Invalid Machine Type";
inline constexpr char kUnknownUpsType[] = "Unknown UPS Type";

// A command that needs the link, refused without it.
inline constexpr char kLinkDown[] = "Link Down";

// Runtime and module configuration.
inline constexpr char kErrorGettingRuntime[] = "Error Getting Runtime";
inline constexpr char kErrorSettingKbxs[] = "Error Setting KBXs";
inline constexpr char kErrorSettingBaseTime[] = "Error Setting Battery Base Time";
inline constexpr char kErrorUpdatingBaseTimeRam[] = "Error Updating Battery Base Time RAM value";
inline constexpr char kErrorResettingChecksum[] = "Error Resetting EEPROM Checksum";
inline constexpr char kErrorSettingRamValue[] = "Error Setting RAM Value";

// Whether a board line reports a failure: one of the lines above, a refusal
// of the UPS ("UPS Busy (33)", "Unknown ACK 56"), or an error line ("8002
// Invalid port number 6": a number, a blank and a description).
bool ReportsFailure(std::string_view line);

}  // namespace kbx
