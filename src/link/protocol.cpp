#include "link/protocol.h"

#include <cstdio>

namespace kbx {

std::string AckStatusText(std::uint8_t status) {
  switch (status) {
    case kAckAccepted:
      return "Command Accepted";
    case kAckNotImplemented:
      return "Command Not Implemented";
    case kAckBusy:
      return "UPS Busy";
    case kAckUnrecognized:
      return "Command Unrecognized";
    case kAckOutOfRange:
      return "Command Parameter out of range";
    case kAckInvalid:
      return "Command Parameter invalid";
    case kAckAdjusted:
      return "Command Accepted with parameter adjusted";
    default:
      return "";
  }
}

std::string AckBoardLine(std::uint8_t status) {
  if (status == kAckAccepted) return "";
  const std::string text = AckStatusText(status);
  if (text.empty()) return "Unknown ACK " + std::to_string(status);
  // The status in hexadecimal, as the UPS documents it.
  char code[8];
  std::snprintf(code, sizeof code, "%02X", status);
  return text + " (" + code + ")";
}

}  // namespace kbx
