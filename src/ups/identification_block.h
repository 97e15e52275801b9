#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/run_time_error.h"
#include "ups/firmware_version.h"

namespace kbx {

// What an identification block says, as far as it could be read: a field
// the block ends before is left out (a length stays empty, a version 0.00,
// a meter unlisted), and `error` says why the reading stopped.
struct IdentificationBlock {
  std::array<FirmwareVersion, 5> versions{};  // processors 1 to 5; a sixth and later are passed over
  std::optional<std::int16_t> meterMapLength;
  std::vector<std::int16_t> meterNumbers;  // the meters the unit reports, in meter-map order
  std::vector<std::int16_t> meterFormats;  // and their format codes
  std::optional<std::int16_t> flagMapLength;
  std::optional<std::int16_t> typeBlockLength;
  std::optional<std::int16_t> thirdMapLength;
  // 0 when the block holds every field; 9 (Subscript out of range) when it
  // ends before one; 6 (Overflow) for a type block length above 32767.
  int error = 0;
};

// Takes an identification block apart: processor count and versions, the
// selector (and its extension), two bytes, a skipped field, the meter map,
// the flag map, the type block length and the third map. Pure.
IdentificationBlock ParseIdentificationBlock(const Bytes& block);

}  // namespace kbx
