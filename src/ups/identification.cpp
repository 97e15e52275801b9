// Who the unit is: processor versions, meter map and type code.
#include <cctype>

#include "link/numbers.h"
#include "ups/xcp.h"

namespace kbx {

std::uint8_t Xcp::Response(long index) const {
  if (index < 0 || index >= static_cast<long>(ResponseBlock.size())) throw RunTimeError(kErrSubscript);
  return ResponseBlock[static_cast<std::size_t>(index)];
}

std::string Xcp::VersionText(const std::uint8_t& major, const std::uint8_t& minor) {
  return HexText(major) + "." + FixLength(HexText(minor), 2);
}

void Xcp::StoreVersion(int processor, double value) {
  switch (processor) {
    case 1:
      CpuVersion1 = value;
      break;
    case 2:
      CpuVersion2 = static_cast<float>(value);
      break;
    case 3:
      CpuVersion3 = static_cast<float>(value);
      break;
    case 4:
      CpuVersion4 = static_cast<float>(value);
      break;
    case 5:
      CpuVersion5 = static_cast<float>(value);
      break;
    default:
      break;
  }
}

std::int32_t Xcp::IdentifyUps() {
  std::int32_t result = 0;
  try {
    MeterMapLength = FlagMapLength = TypeBlockLength = ThirdMapLength = 0;
    OpenPort();
    FlushPort();
    ReadIdentification();
    // The type block is asked for even when none was announced.
    const bool typeBlock = RequestTypeBlock();
    if (typeBlock && TypeBlockLength != 0) result = Response(0) + 256 * Response(1);
  } catch (const RunTimeError& e) {
    RecordError(e);
  }
  ErrorCheck(8);
  return result;
}

void Xcp::ReadIdentification() {
  try {
    CpuVersion1 = 0;
    CpuVersion2 = CpuVersion3 = CpuVersion4 = CpuVersion5 = 0;
    SendAuthorization();
    Sleep(500);
    if (RequestIdBlock()) ParseIdentificationBlock();
  } catch (const RunTimeError& e) {
    RecordError(e);
  }
  ErrorCheck(9);
}

void Xcp::ParseIdentificationBlock() {
  const int processors = Response(0);
  for (int c = 1; c <= processors && c <= 5; ++c) {
    // A version with the letters A to F in it is no number: it counts as absent.
    const std::string text = VersionText(Response(2 * c), Response(2 * c - 1));
    const bool decimal = text.find_first_not_of("0123456789.") == std::string::npos;
    StoreVersion(c, decimal && IsNumeric(text) ? NumberFromText(text) : 0.0);
  }
  long i = 2L * processors + 1;
  const int selector = Response(i++);
  if (selector == 0) i += 2;  // extension
  i += 2;
  const int skip = Response(i++);
  i += skip;
  const int meters = Response(i++);
  MeterMapLength = static_cast<std::int16_t>(meters);
  std::size_t reported = 0;
  for (int j = 1; j <= meters; ++j) {
    const std::uint8_t format = Response(i++);
    if (format == 0) continue;
    MeterNumber.resize(reported + 1);
    MeterFormat.resize(reported + 1);
    MeterNumber[reported] = static_cast<std::int16_t>(j);
    MeterFormat[reported] = format;
    ++reported;
  }
  const int flags = Response(i++);
  FlagMapLength = static_cast<std::int16_t>(flags);
  i += flags;
  const std::uint8_t low = Response(i);
  const std::uint8_t high = Response(i + 1);
  TypeBlockLength = ToInteger(low + 256.0 * high);
  i += 2;
  const int third = Response(i++);
  ThirdMapLength = static_cast<std::int16_t>(third);
  for (int s = 0; s < third; ++s) Response(i++);
}

bool Xcp::RequestIdBlock() {
  RequestBlock = {kIdentificationRequest};
  return XcpTransact(1, RequestBlock, kIdentificationBlock);
}

bool Xcp::RequestTypeBlock() {
  RequestBlock = {kTypeBlockRequest};
  return XcpTransact(1, RequestBlock, kTypeBlock);
}

void Xcp::SendAuthorization() {
  RequestBlock = {kAuthorizationCommand, AccessCode[0], AccessCode[1], AccessCode[2]};
  XcpTransact(4, RequestBlock, 0);
}

bool ParseAccessCode(const std::string& text, std::array<std::uint8_t, 3>& code) {
  if (text.size() != 6) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  for (std::size_t k = 0; k < 3; ++k) code[k] = static_cast<std::uint8_t>(HexValue(text.substr(2 * k, 2)));
  return true;
}

}  // namespace kbx
