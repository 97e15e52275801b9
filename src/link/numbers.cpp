#include "link/numbers.h"

#include <cstdio>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <system_error>

#include "platform/run_time_error.h"

namespace kbx {

double RoundHalfEven(double value) {
  return std::nearbyint(value);
}

std::int16_t ToInteger(double value) {
  const double r = RoundHalfEven(value);
  if (!(r >= -32768.0 && r <= 32767.0)) throw RunTimeError(kErrOverflow);
  return static_cast<std::int16_t>(r);
}

std::int32_t ToLong(double value) {
  const double r = RoundHalfEven(value);
  if (!(r >= -2147483648.0 && r <= 2147483647.0)) throw RunTimeError(kErrOverflow);
  return static_cast<std::int32_t>(r);
}

namespace {

// The character tests of this file: ASCII only, whatever the locale's character classes say.
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The value of a hexadecimal digit, or -1.
int HexDigit(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Whether a number starts the text (after blanks); `pos` is where it and
// the blanks after it end.
bool ScanNumber(const std::string& text, std::size_t& pos) {
  auto digit = [&](std::size_t i) { return i < text.size() && IsDigit(text[i]); };
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  bool any = false;
  while (digit(i)) ++i, any = true;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (digit(i)) ++i, any = true;
  }
  if (!any) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (!digit(j)) return false;
    while (digit(j)) ++j;
    i = j;
  }
  while (i < text.size() && text[i] == ' ') ++i;
  pos = i;
  return true;
}

// Whether a decimal number (no blanks, no sign) that lies beyond what a double
// holds is too large rather than too small: the power of ten of its first
// significant digit decides.
bool BeyondTheLargest(std::string_view number) {
  const std::size_t e = std::min(number.find_first_of("eE"), number.size());
  const std::string_view mantissa = number.substr(0, e);
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_not_of("0.");
  if (first == std::string_view::npos) return false;  // zero is never out of range
  long power = first < point ? static_cast<long>(point - first) - 1 : -static_cast<long>(first - point);
  long exponent = 0;
  bool negative = false;
  for (std::size_t i = e + 1; i < number.size(); ++i) {
    if (number[i] == '-') negative = true;
    // Far beyond any double either way: stop counting before the long overflows.
    if (IsDigit(number[i]) && exponent < 100000) exponent = exponent * 10 + (number[i] - '0');
  }
  power += negative ? -exponent : exponent;
  return power > 0;
}

}  // namespace

bool IsNumeric(const std::string& text) {
  std::size_t end = 0;
  return ScanNumber(text, end) && end == text.size();
}

double NumberFromText(const std::string& text) {
  if (!IsNumeric(text)) throw RunTimeError(kErrTypeMismatch);
  // std::from_chars reads "." as the decimal point in every locale; it takes
  // neither the blanks nor a sign, so those are dealt with here.
  std::string_view number(text);
  number.remove_prefix(number.find_first_not_of(' '));
  number.remove_suffix(number.size() - 1 - number.find_last_not_of(' '));
  const bool negative = number.front() == '-';
  if (number.front() == '-' || number.front() == '+') number.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error == std::errc::result_out_of_range) {
    // As the C library reads such a number: infinite when too large, zero when too small.
    value = BeyondTheLargest(number) ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -value : value;
}

std::int16_t IntegerFromText(const std::string& text) {
  return ToInteger(NumberFromText(text));
}

std::uint32_t HexValue(const std::string& text) {
  std::uint32_t value = 0;
  for (char c : text) {
    const int d = HexDigit(c);
    if (d < 0) break;
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  return value;
}

std::string HexText(std::uint32_t value) {
  char buf[8];
  const auto end = std::to_chars(buf, buf + sizeof buf, value, 16).ptr;
  std::string text(buf, end);
  for (char& c : text) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string FixedText(double value, int decimals) {
  // The largest double has 309 digits before the point.
  char buf[400];
  constexpr int kMostDecimals = 64;
  const auto [end, error] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed,
                                          std::clamp(decimals, 0, kMostDecimals));
  return error == std::errc() ? std::string(buf, end) : std::string();
}

std::string SignedNumberText(double whole) {
  return (whole < 0 ? "-" : " ") + FixedText(std::fabs(whole), 0);
}

std::string FixLength(std::string s, int n) {
  const auto width = static_cast<std::size_t>(n < 0 ? 0 : n);
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  if (s.size() > width) s.resize(width);
  return s;
}

std::string Hex2(std::uint8_t byte) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

}  // namespace kbx
