// The commands that write UPS variables, RAM words and parameters.
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

bool Xcp::SetUpsVariable(const std::string& variable, const std::string& value) {
  const std::uint8_t number = ByteFromDecimal(variable);
  const Word word = HexWord(value);
  RequestBlock = {kSetVariableCommand, number, word.low, word.high};
  return XcpTransact(4, RequestBlock, 0);
}

bool Xcp::ResetEepromChecksum() {
  RequestBlock = {kSetVariableCommand, kEepromChecksumVariable};
  return XcpTransact(2, RequestBlock, 0);
}

bool Xcp::SetRamValue(const std::string& address, const std::string& value) {
  const Word where = HexWord(address);
  const Word word = HexWord(value);
  RequestBlock = {kSetRamWordCommand, where.low, where.high, word.low, word.high};
  if (!XcpTransact(5, RequestBlock, 0)) return false;
  if (CheckAck(kAckBlock)) return true;
  AddToBoard("Error Setting RAM Value");
  return false;
}

bool Xcp::SetUpsParameter(const std::string& parameter, const std::string& value) {
  const auto number = static_cast<std::uint8_t>(HexValue(FixLength(parameter, 2)));
  const Word word = HexWord(value);
  RequestBlock = {kAuthorizationCommand, AccessCode[0], AccessCode[1], AccessCode[2]};
  if (!XcpTransact(4, RequestBlock, 0)) return false;
  CheckAck(kAckBlock);  // a refused authorization shows as its own line; the parameter answer decides
  RequestBlock = {kSetParameterCommand, number, word.low, word.high};
  return XcpTransact(4, RequestBlock, kAckAccepted);
}

}  // namespace kbx
