#include "link/frame.h"

namespace kbx {

std::uint8_t FrameChecksum(const std::uint8_t* bytes, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
  return static_cast<std::uint8_t>((256 - sum % 256) % 256);
}

Bytes BuildRequestFrame(const Bytes& data) {
  Bytes frame{kFrameStart, static_cast<std::uint8_t>(data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(FrameChecksum(frame));
  return frame;
}

Bytes BuildResponseFrame(std::uint8_t block, std::uint8_t sequence, const Bytes& data) {
  Bytes frame{kFrameStart, block, static_cast<std::uint8_t>(data.size()), sequence};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(FrameChecksum(frame));
  return frame;
}

}  // namespace kbx
