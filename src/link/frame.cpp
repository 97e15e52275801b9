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

DecodedResponse DecodeResponse(std::span<const std::uint8_t> bytes, std::size_t start) {
  using Outcome = DecodedResponse::Outcome;
  DecodedResponse response;
  const auto stop = [&](Outcome outcome) {
    response.outcome = outcome;
    if (outcome != Outcome::kComplete) response.data.clear();
    return response;
  };
  int expected = 1;
  for (std::size_t p = start;;) {
    if (p >= bytes.size()) return stop(Outcome::kPastTheEnd);
    if (bytes[p] != kFrameStart) return stop(Outcome::kInvalid);
    if (p + 2 >= bytes.size()) return stop(Outcome::kPastTheEnd);
    const std::size_t length = bytes[p + 2];
    if (length < 1 || length > static_cast<std::size_t>(kMaxFrameData)) return stop(Outcome::kInvalid);
    if (p + 3 >= bytes.size()) return stop(Outcome::kPastTheEnd);
    const std::uint8_t sequence = bytes[p + 3];
    if ((sequence & kFrameNumberMask) != expected) return stop(Outcome::kInvalid);
    ++expected;
    if (p + 4 + length >= bytes.size()) return stop(Outcome::kPastTheEnd);
    if (p == start) response.block = bytes[p + 1];
    response.data.insert(response.data.end(), bytes.begin() + static_cast<long>(p + 4),
                         bytes.begin() + static_cast<long>(p + 4 + length));
    if (bytes[p + 4 + length] != FrameChecksum(bytes.data() + p, 4 + length)) return stop(Outcome::kInvalid);
    p += 5 + length;
    if (sequence & kLastFrameBit) {
      response.end = p;
      return stop(Outcome::kComplete);
    }
  }
}

DecodedResponse DecodeAnswer(std::span<const std::uint8_t> bytes) {
  DecodedResponse answer = DecodeResponse(bytes, 0);
  while (answer.outcome == DecodedResponse::Outcome::kComplete && answer.end < bytes.size() &&
         bytes[answer.end] == kFrameStart) {
    DecodedResponse next = DecodeResponse(bytes, answer.end);
    if (next.outcome != DecodedResponse::Outcome::kComplete) break;
    answer = std::move(next);
  }
  return answer;
}

}  // namespace kbx
