// Any settings string: ParseLineSettings accepts exactly
// "baud,parity,databits,stopbits" with a baud rate of the port's list, one
// parity letter, 5 to 8 data bits and 1, 1.5 or 2 stop bits; what it accepts
// reads back the same after FormatLineSettings; what it refuses changes nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/line_settings.h"

using namespace kbx;
using Line = LineSettings;

namespace {

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> fields{""};
  for (char c : text) {
    if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// A decimal of one to nine digits.
bool Decimal(const std::string& s, long& value) {
  if (s.empty() || s.size() > 9) return false;
  value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool Expected(const std::string& text, Line& line) {
  static const long kBauds[] = {110,   300,   600,   1200,  2400,  4800,   9600,   14400,
                                19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};
  const auto f = Split(text);
  if (f.size() != 4) return false;
  long baud = 0;
  if (!Decimal(f[0], baud)) return false;
  bool known = false;
  for (long b : kBauds) known = known || b == baud;
  if (!known) return false;
  static const std::string kLetters = "NEOMS";
  if (f[1].size() != 1) return false;
  const char upper = static_cast<char>(f[1][0] >= 'a' && f[1][0] <= 'z' ? f[1][0] - 32 : f[1][0]);
  if (kLetters.find(upper) == std::string::npos) return false;
  long bits = 0;
  if (!Decimal(f[2], bits) || bits < 5 || bits > 8) return false;
  int halves = 0;
  if (f[3] == "1") {
    halves = 2;
  } else if (f[3] == "1.5") {
    halves = 3;
  } else if (f[3] == "2") {
    halves = 4;
  } else {
    return false;
  }
  line = {static_cast<int>(baud), upper, static_cast<int>(bits), halves};
  return true;
}

bool Equal(const Line& a, const Line& b) {
  return a.baud == b.baud && a.parity == b.parity && a.dataBits == b.dataBits && a.stopHalves == b.stopHalves;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const Line sentinel{1, '?', 99, 99};
  Line got = sentinel;
  const bool ok = ParseLineSettings(text, got);
  Line want;
  FUZZ_CHECK(ok == Expected(text, want));
  if (!ok) {
    FUZZ_CHECK(Equal(got, sentinel));
    return 0;
  }
  FUZZ_CHECK(Equal(got, want));
  const std::string normal = FormatLineSettings(got);
  Line again = sentinel;
  FUZZ_CHECK(ParseLineSettings(normal, again));
  FUZZ_CHECK(Equal(again, got));
  FUZZ_CHECK(FormatLineSettings(again) == normal);
  return 0;
}
