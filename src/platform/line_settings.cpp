#include "platform/line_settings.h"

#include <algorithm>
#include <string_view>

#include "platform/baud_rates.h"

namespace kbx {
bool Supported(const LineSettings& settings) {
  return std::find(kBaudRates.begin(), kBaudRates.end(), settings.baud) != kBaudRates.end() &&
         std::string_view("NEOMS").find(settings.parity) != std::string_view::npos &&
         settings.dataBits >= 5 && settings.dataBits <= 8 && settings.stopHalves >= 2 &&
         settings.stopHalves <= 4;
}

std::string FormatLineSettings(const LineSettings& settings) {
  const char* stop = settings.stopHalves == 3 ? "1.5" : settings.stopHalves == 4 ? "2" : "1";
  return std::to_string(settings.baud) + "," + settings.parity + "," + std::to_string(settings.dataBits) +
         "," + stop;
}

}  // namespace kbx
