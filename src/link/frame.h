#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

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

// One response read from received bytes at a start index: its frames follow
// each other, numbered from 1, until one has the last-frame bit.
struct DecodedResponse {
  enum class Outcome {
    kComplete,   // every frame whole and sound
    kInvalid,    // a wrong start byte, length, number or checksum
    kPastTheEnd  // a frame runs past the end of the bytes
  };
  Outcome outcome = Outcome::kInvalid;
  std::uint8_t block = 0;  // the first frame's block number (complete)
  Bytes data;              // the data of its frames, joined (complete)
  std::size_t end = 0;     // the index after its last frame (complete)
};

// Decodes the response that starts at `start`; reads nothing beyond the frame
// that decides the outcome. Pure: no state, no error thrown.
DecodedResponse DecodeResponse(std::span<const std::uint8_t> bytes, std::size_t start);

// The answer in a receive buffer: the response at its start, or, where
// complete responses follow it back to back, the last of them (an answer that
// came too late for an earlier request can stand in front of the one to this
// request; a broken one after it is noise). Past the end only when the first
// one runs past the buffer.
DecodedResponse DecodeAnswer(std::span<const std::uint8_t> bytes);

}  // namespace kbx
