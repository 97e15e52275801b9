// Who the unit is: processor versions, meter map and type code.
#include <cctype>

#include "link/error_trap.h"
#include "link/numbers.h"
#include "ups/xcp.h"

namespace kbx {

std::uint8_t Xcp::At(const Bytes& block, long index) {
  if (index < 0 || index >= static_cast<long>(block.size())) throw RunTimeError(kErrSubscript);
  return block[static_cast<std::size_t>(index)];
}

std::string Xcp::VersionText(std::uint8_t major, std::uint8_t minor) {
  return FirmwareVersion(major, minor).Text();
}

FirmwareVersion Xcp::ProcessorVersion(int processor) const {
  if (processor < 1 || processor > static_cast<int>(versions_.size())) return {};
  return versions_[static_cast<std::size_t>(processor - 1)];
}

std::int32_t Xcp::IdentifyUps() {
  return RunTrapped(host_, Routine::kIdentifyUps, std::int32_t{0}, [&]() -> std::int32_t {
    meterMapLength_ = flagMapLength_ = typeBlockLength_ = thirdMapLength_ = 0;
    link_.OpenPort();  // a port that fails is on the board already
    link_.FlushPort();
    ReadIdentification();
    // The type block is asked for even when none was announced.
    const Reply typeBlock = RequestTypeBlock();
    if (!typeBlock || typeBlockLength_ == 0) return 0;
    return At(typeBlock.data, 0) + 256 * At(typeBlock.data, 1);
  });
}

void Xcp::ReadIdentification() {
  RunTrapped(host_, Routine::kReadIdentification, [&] {
    ClearVersions();
    SendAuthorization();
    Wait(500);
    const Reply identification = RequestIdBlock();
    if (identification) ParseIdentificationBlock(identification.data);
  });
}

void Xcp::ParseIdentificationBlock(const Bytes& block) {
  const int processors = At(block, 0);
  // Each version field is its minor byte, then its major byte; the versions
  // of a sixth and later processor are passed over.
  for (int c = 1; c <= processors; ++c) {
    const FirmwareVersion version(At(block, 2 * c), At(block, 2 * c - 1));
    if (c <= static_cast<int>(versions_.size())) versions_[static_cast<std::size_t>(c - 1)] = version;
  }
  long i = 2L * processors + 1;
  const int selector = At(block, i++);
  if (selector == 0) i += 2;  // extension
  i += 2;
  const int skip = At(block, i++);
  i += skip;
  const int meters = At(block, i++);
  meterMapLength_ = static_cast<std::int16_t>(meters);
  std::size_t reported = 0;
  for (int j = 1; j <= meters; ++j) {
    const std::uint8_t format = At(block, i++);
    if (format == 0) continue;
    meterNumbers_.resize(reported + 1);
    meterFormats_.resize(reported + 1);
    meterNumbers_[reported] = static_cast<std::int16_t>(j);
    meterFormats_[reported] = format;
    ++reported;
  }
  const int flags = At(block, i++);
  flagMapLength_ = static_cast<std::int16_t>(flags);
  i += flags;
  const std::uint8_t low = At(block, i);
  const std::uint8_t high = At(block, i + 1);
  typeBlockLength_ = ToInteger(low + 256.0 * high);
  i += 2;
  const int third = At(block, i++);
  thirdMapLength_ = static_cast<std::int16_t>(third);
  for (int s = 0; s < third; ++s) At(block, i++);
}

Reply Xcp::RequestIdBlock() {
  return link_.XcpTransact({kIdentificationRequest}, kIdentificationBlock);
}

Reply Xcp::RequestTypeBlock() {
  return link_.XcpTransact({kTypeBlockRequest}, kTypeBlock);
}

Bytes Xcp::AuthorizationRequest() const {
  return {kAuthorizationCommand, accessCode_[0], accessCode_[1], accessCode_[2]};
}

void Xcp::SendAuthorization() {
  link_.XcpTransact(AuthorizationRequest(), 0);
}

bool ParseAccessCode(const std::string& text, AccessCode& code) {
  if (text.size() != 6) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  for (std::size_t k = 0; k < 3; ++k) code[k] = static_cast<std::uint8_t>(HexValue(text.substr(2 * k, 2)));
  return true;
}

}  // namespace kbx
