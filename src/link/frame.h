#pragma once

#include <cstddef>
#include <cstdint>

#include "link/protocol.h"
#include "platform/run_time_error.h"

namespace kbx {

// The byte that makes all bytes of a frame add up to a multiple of 256.
std::uint8_t FrameChecksum(const std::uint8_t* bytes, std::size_t count);
inline std::uint8_t FrameChecksum(const Bytes& bytes) {
  return FrameChecksum(bytes.data(), bytes.size());
}

// A request frame: AB, length, data, checksum (data of at most 255 bytes).
Bytes BuildRequestFrame(const Bytes& data);

// One response frame: AB, block, length, sequence, data, checksum.
Bytes BuildResponseFrame(std::uint8_t block, std::uint8_t sequence, const Bytes& data);

}  // namespace kbx
