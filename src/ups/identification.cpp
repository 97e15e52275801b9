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
    if (identification) TakeIdentification(ParseIdentificationBlock(identification.data));
  });
}

void Xcp::TakeIdentification(const IdentificationBlock& parsed) {
  versions_ = parsed.versions;
  if (parsed.meterMapLength) meterMapLength_ = *parsed.meterMapLength;
  // A unit that reports no meter keeps the meters of the one before.
  if (!parsed.meterNumbers.empty()) {
    meterNumbers_ = parsed.meterNumbers;
    meterFormats_ = parsed.meterFormats;
  }
  if (parsed.flagMapLength) flagMapLength_ = *parsed.flagMapLength;
  if (parsed.typeBlockLength) typeBlockLength_ = *parsed.typeBlockLength;
  if (parsed.thirdMapLength) thirdMapLength_ = *parsed.thirdMapLength;
  if (parsed.error != 0) throw RunTimeError(parsed.error);
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
