#include "ups/identification_block.h"

namespace kbx {

namespace {

// The block's bytes in order; reading past its end stops the parse.
class BlockReader {
 public:
  explicit BlockReader(const Bytes& block) : block_(block) {}
  // The byte at `index`, or nothing when the block is shorter.
  std::optional<std::uint8_t> At(long index) const {
    if (index < 0 || index >= static_cast<long>(block_.size())) return std::nullopt;
    return block_[static_cast<std::size_t>(index)];
  }

 private:
  const Bytes& block_;
};

}  // namespace

IdentificationBlock ParseIdentificationBlock(const Bytes& block) {
  IdentificationBlock parsed;
  const BlockReader reader(block);
  const auto cut = [&parsed] {
    parsed.error = kErrSubscript;
    return parsed;
  };
  const auto processors = reader.At(0);
  if (!processors) return cut();
  // Each version field is its minor byte, then its major byte.
  for (int c = 1; c <= *processors; ++c) {
    const auto major = reader.At(2 * c);
    if (!major) return cut();
    if (c <= static_cast<int>(parsed.versions.size())) {
      parsed.versions[static_cast<std::size_t>(c - 1)] = FirmwareVersion(*major, *reader.At(2 * c - 1));
    }
  }
  long i = 2L * *processors + 1;
  const auto selector = reader.At(i++);
  if (!selector) return cut();
  if (*selector == 0) i += 2;  // extension
  i += 2;
  const auto skip = reader.At(i++);
  if (!skip) return cut();
  i += *skip;
  const auto meters = reader.At(i++);
  if (!meters) return cut();
  parsed.meterMapLength = *meters;
  for (int j = 1; j <= *meters; ++j) {
    const auto format = reader.At(i++);
    if (!format) return cut();
    if (*format == 0) continue;
    parsed.meterNumbers.push_back(static_cast<std::int16_t>(j));
    parsed.meterFormats.push_back(*format);
  }
  const auto flags = reader.At(i++);
  if (!flags) return cut();
  parsed.flagMapLength = *flags;
  i += *flags;
  const auto low = reader.At(i);
  const auto high = reader.At(i + 1);
  if (!low || !high) return cut();
  const int typeBlockLength = *low + 256 * *high;
  if (typeBlockLength > 32767) {
    parsed.error = kErrOverflow;
    return parsed;
  }
  parsed.typeBlockLength = static_cast<std::int16_t>(typeBlockLength);
  i += 2;
  const auto third = reader.At(i++);
  if (!third) return cut();
  parsed.thirdMapLength = *third;
  if (!reader.At(i + *third - 1) && *third > 0) return cut();
  return parsed;
}

}  // namespace kbx
