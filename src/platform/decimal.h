#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string_view>

namespace kbx {

// The value of a decimal number written in ASCII digits alone (no blank, no
// sign, no "0x"), whatever the locale says; nothing when the text is not one
// or its value does not fit in T.
template <std::integral T>
std::optional<T> ParseDecimal(std::string_view text) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  T value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace kbx
