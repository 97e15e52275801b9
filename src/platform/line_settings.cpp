#include "platform/line_settings.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "platform/baud_rates.h"
#include "platform/decimal.h"

namespace kbx {
namespace {

// A plain decimal number of at most nine digits.
bool ParseField(std::string_view text, int& value) {
  const auto number = text.size() <= 9 ? ParseDecimal<int>(text) : std::nullopt;
  if (number) value = *number;
  return number.has_value();
}

}  // namespace

bool ParseLineSettings(const std::string& text, LineSettings& settings) {
  std::string_view fields[4];
  std::string_view rest = text;
  for (int k = 0; k < 4; ++k) {
    const std::size_t comma = rest.find(',');
    if ((k < 3) == (comma == std::string_view::npos)) return false;
    fields[k] = rest.substr(0, comma);
    rest = k < 3 ? rest.substr(comma + 1) : std::string_view();
  }
  LineSettings parsed;
  if (!ParseField(fields[0], parsed.baud)) return false;
  if (std::find(kBaudRates.begin(), kBaudRates.end(), parsed.baud) == kBaudRates.end()) return false;

  if (fields[1].size() != 1) return false;
  parsed.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(fields[1][0])));
  if (std::string_view("NEOMS").find(parsed.parity) == std::string_view::npos) return false;

  if (!ParseField(fields[2], parsed.dataBits) || parsed.dataBits < 5 || parsed.dataBits > 8) return false;

  if (fields[3] == "1") {
    parsed.stopHalves = 2;
  } else if (fields[3] == "1.5") {
    parsed.stopHalves = 3;
  } else if (fields[3] == "2") {
    parsed.stopHalves = 4;
  } else {
    return false;
  }
  settings = parsed;
  return true;
}

std::string FormatLineSettings(const LineSettings& settings) {
  const char* stop = settings.stopHalves == 3 ? "1.5" : settings.stopHalves == 4 ? "2" : "1";
  return std::to_string(settings.baud) + "," + settings.parity + "," + std::to_string(settings.dataBits) +
         "," + stop;
}

}  // namespace kbx
