// The UPS types this program works with, and its verdict on a unit.
#include "ups/ups_types.h"

namespace kbx {

const UpsTypePolicy* FindUpsType(std::int16_t type) {
  for (const UpsTypePolicy& policy : kUpsTypes) {
    if (policy.type == type) return &policy;
  }
  return nullptr;
}

UnitVerdict JudgeUnit(std::int16_t type, const std::array<FirmwareVersion, 5>& versions) {
  if (type <= 1) return UnitVerdict::kNoUps;
  const UpsTypePolicy* policy = FindUpsType(type);
  if (policy == nullptr) return UnitVerdict::kUnknownType;
  if (policy->switchesTo != 0) return UnitVerdict::kSwitchOver;
  if (policy->checkedProcessor != 0) {
    const FirmwareVersion version = versions[static_cast<std::size_t>(policy->checkedProcessor - 1)];
    if (version > policy->requiredVersion) return UnitVerdict::kProgramTooOld;
    if (version < policy->requiredVersion) return UnitVerdict::kUpsCodeTooOld;
  }
  return UnitVerdict::kAccepted;
}

const FailureText* RefusalLine(UnitVerdict verdict) {
  switch (verdict) {
    case UnitVerdict::kNoUps:
      return &kNoUpsFound;
    case UnitVerdict::kProgramTooOld:
      return &kProgramNeedsUpgrade;
    case UnitVerdict::kUpsCodeTooOld:
      return &kUpsCodeNeedsUpgrade;
    case UnitVerdict::kUnknownType:
      return &kInvalidUpsType;
    default:
      return nullptr;
  }
}

}  // namespace kbx
