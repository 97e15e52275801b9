#pragma once

#include <array>
#include <cstdint>

#include "link/board_lines.h"
#include "ups/firmware_version.h"

namespace kbx {

// What this program makes of a unit it identified.
enum class UnitVerdict {
  kAccepted,       // the link is up
  kNoUps,          // nothing answered as a UPS, or a 281 did not switch over
  kUpsCodeTooOld,  // a 290 whose second processor is older than this program needs
  kProgramTooOld,  // a 290 whose second processor is newer than this program knows
  kUnknownType,    // a type this program does not work with
  kSwitchOver,     // a 281: accepted once it has switched over and answers as a 280
  kFailed,         // an error ended the attempt; the board says which
};

// Where a UPS type keeps its module count.
enum class ModuleStore {
  kParameter,  // one parameter holds the count
  kVariables,  // variables hold 2 * count + 1 and the battery base time, with a RAM word and the checksum
};

// What this program knows of one UPS type.
struct UpsTypePolicy {
  std::int16_t type;
  // The type a unit of this type answers as once switched over; 0 when it needs no switch-over.
  std::int16_t switchesTo;
  ModuleStore moduleStore;
  // The processor whose version must be `requiredVersion`; 0 when any version will do.
  int checkedProcessor;
  FirmwareVersion requiredVersion;
  // Whether the module dialog's Apply is on when it opens.
  bool applyAtOnce;
};

// The UPS types this program works with.
inline constexpr std::array<UpsTypePolicy, 4> kUpsTypes{{
    {280, 0, ModuleStore::kParameter, 0, {}, false},
    {281, 280, ModuleStore::kParameter, 0, {}, false},
    {290, 0, ModuleStore::kVariables, 2, {0x01, 0x03}, true},
    {292, 0, ModuleStore::kParameter, 0, {}, false},
}};

// The policy of `type`; nullptr for a type this program does not know.
const UpsTypePolicy* FindUpsType(std::int16_t type);

// The verdict on a unit identified as `type` (1 or below: nothing answered as
// a UPS) with these processor versions (processors 1 to 5), before any
// switch-over.
UnitVerdict JudgeUnit(std::int16_t type, const std::array<FirmwareVersion, 5>& versions);

// The board line of a verdict that turns the unit away ("NO UPS Found",
// "Invalid UPS Type", the two upgrade lines); nullptr for the others.
const FailureText* RefusalLine(UnitVerdict verdict);

}  // namespace kbx
