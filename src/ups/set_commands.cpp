// The commands that write UPS variables, RAM words and parameters.
#include "link/board_lines.h"
#include "ups/xcp.h"

namespace kbx {

namespace {

std::uint8_t Low(std::uint16_t value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}
std::uint8_t High(std::uint16_t value) {
  return static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

Reply Xcp::SetUpsVariable(std::uint8_t variable, std::uint16_t value) {
  return link_.XcpTransact({kSetVariableCommand, variable, Low(value), High(value)}, 0);
}

Reply Xcp::ResetEepromChecksum() {
  return link_.XcpTransact({kSetVariableCommand, kEepromChecksumVariable}, 0);
}

Reply Xcp::SetRamValue(std::uint16_t address, std::uint16_t value) {
  Reply reply =
      link_.XcpTransact({kSetRamWordCommand, Low(address), High(address), Low(value), High(value)}, 0);
  if (!reply) return reply;
  reply.accepted = link_.CheckAck(kAckBlock);
  if (!reply.accepted) AddToBoard(kErrorSettingRamValue);
  return reply;
}

Reply Xcp::SetUpsParameter(std::uint8_t parameter, std::uint16_t value) {
  if (!link_.XcpTransact(AuthorizationRequest(), 0)) return Reply{};
  link_.CheckAck(kAckBlock);  // a refused authorization shows as its own line; the parameter answer decides
  return link_.XcpTransact({kSetParameterCommand, parameter, Low(value), High(value)}, kAckAccepted);
}

}  // namespace kbx
