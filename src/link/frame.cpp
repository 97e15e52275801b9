#include "link/frame.h"

#include <algorithm>

namespace kbx {

std::uint8_t FrameChecksum(const std::uint8_t* bytes, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
  return static_cast<std::uint8_t>((256 - sum % 256) % 256);
}

namespace {

// `header`, then `data`, then the checksum of both. The frame is made at its
// full size first and filled in, rather than grown from the header: GCC 12
// warns falsely of an access out of bounds when it inlines the growth.
template <std::size_t N>
Bytes Frame(const std::uint8_t (&header)[N], const Bytes& data) {
  Bytes frame(N + data.size() + 1);
  std::copy(header, header + N, frame.begin());
  std::copy(data.begin(), data.end(), frame.begin() + N);
  frame.back() = FrameChecksum(frame.data(), frame.size() - 1);
  return frame;
}

}  // namespace

Bytes BuildRequestFrame(const Bytes& data) {
  return Frame({kFrameStart, static_cast<std::uint8_t>(data.size())}, data);
}

Bytes BuildResponseFrame(std::uint8_t block, std::uint8_t sequence, const Bytes& data) {
  return Frame({kFrameStart, block, static_cast<std::uint8_t>(data.size()), sequence}, data);
}

}  // namespace kbx
