#include "link/numbers.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

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

// Whether a number starts the text (after blanks); `pos` is where it and
// the blanks after it end.
bool ScanNumber(const std::string& text, std::size_t& pos) {
  auto digit = [&](std::size_t i) {
    return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
  };
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

}  // namespace

bool IsNumeric(const std::string& text) {
  std::size_t end = 0;
  return ScanNumber(text, end) && end == text.size();
}

double NumberFromText(const std::string& text) {
  if (!IsNumeric(text)) throw RunTimeError(kErrTypeMismatch);
  return std::strtod(text.c_str(), nullptr);
}

std::int16_t IntegerFromText(const std::string& text) {
  return ToInteger(NumberFromText(text));
}

std::uint32_t HexValue(const std::string& text) {
  std::uint32_t value = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) break;
    const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  return value;
}

std::string HexText(std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", value);
  return buf;
}

std::string SignedNumberText(double whole) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.0f", std::fabs(whole));
  return (whole < 0 ? "-" : " ") + std::string(buf);
}

std::string FixLength(std::string s, int n) {
  const auto width = static_cast<std::size_t>(n < 0 ? 0 : n);
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  if (s.size() > width) s.resize(width);
  return s;
}

}  // namespace kbx
