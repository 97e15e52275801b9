// The commands that write UPS variables, RAM words and parameters.
#include "link/board_lines.h"
#include "link/numbers.h"
#include "ups/xcp.h"

namespace kbx {

namespace {

// Four hexadecimal digits as a 16-bit value, low byte and high byte.
struct Word {
  std::uint8_t low;
  std::uint8_t high;
};

Word HexWord(const std::string& text) {
  const std::string digits = FixLength(text, 4);
  return {static_cast<std::uint8_t>(HexValue(digits.substr(2, 2))),
          static_cast<std::uint8_t>(HexValue(digits.substr(0, 2)))};
}

std::uint8_t ByteFromDecimal(const std::string& text) {
  const std::int16_t value = IntegerFromText(text);
  if (value < 0 || value > 255) throw RunTimeError(kErrOverflow);
  return static_cast<std::uint8_t>(value);
}

}  // namespace

Reply Xcp::SetUpsVariable(const std::string& variable, const std::string& value) {
  const std::uint8_t number = ByteFromDecimal(variable);
  const Word word = HexWord(value);
  return link_.XcpTransact({kSetVariableCommand, number, word.low, word.high}, 0);
}

Reply Xcp::ResetEepromChecksum() {
  return link_.XcpTransact({kSetVariableCommand, kEepromChecksumVariable}, 0);
}

Reply Xcp::SetRamValue(const std::string& address, const std::string& value) {
  const Word where = HexWord(address);
  const Word word = HexWord(value);
  Reply reply = link_.XcpTransact({kSetRamWordCommand, where.low, where.high, word.low, word.high}, 0);
  if (!reply) return reply;
  reply.accepted = link_.CheckAck(kAckBlock);
  if (!reply.accepted) AddToBoard(kErrorSettingRamValue);
  return reply;
}

Reply Xcp::SetUpsParameter(const std::string& parameter, const std::string& value) {
  const auto number = static_cast<std::uint8_t>(HexValue(FixLength(parameter, 2)));
  const Word word = HexWord(value);
  if (!link_.XcpTransact(AuthorizationRequest(), 0)) return Reply{};
  link_.CheckAck(kAckBlock);  // a refused authorization shows as its own line; the parameter answer decides
  return link_.XcpTransact({kSetParameterCommand, number, word.low, word.high}, kAckAccepted);
}

}  // namespace kbx
