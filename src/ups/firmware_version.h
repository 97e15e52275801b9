#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace kbx {

// The firmware version of one of the unit's processors, as the unit reports
// it: a major and a minor byte. Versions are ordered by their bytes, the major
// byte first, whether or not their text is a number. The text is the major
// byte in hexadecimal, ".", and the minor byte as two hexadecimal digits:
// "1.03", "2.10", and also "1.0A" or "1.E5". A processor the unit did not
// report has version 0.00.
class FirmwareVersion {
 public:
  constexpr FirmwareVersion() = default;
  constexpr FirmwareVersion(std::uint8_t major, std::uint8_t minor) : major_(major), minor_(minor) {}

  constexpr std::uint8_t Major() const { return major_; }
  constexpr std::uint8_t Minor() const { return minor_; }
  // Whether the processor is there: its version is above 0.00.
  constexpr bool Present() const { return *this > FirmwareVersion{}; }
  std::string Text() const;

  // Major byte, then minor byte (the members' order).
  constexpr auto operator<=>(const FirmwareVersion&) const = default;

 private:
  std::uint8_t major_ = 0;
  std::uint8_t minor_ = 0;
};

}  // namespace kbx
