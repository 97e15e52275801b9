#pragma once

#include <optional>
#include <string>

#include "ups/xcp.h"

namespace kbx {

// Hours as the board shows them: " H:MM:SS" (a minus sign instead of the
// blank for negative hours; minutes and seconds rounded down).
std::string TimeRemainText(double hours);

// The Runtime command: reads meter 36 and puts the time remaining on the
// board. The seconds the UPS reported; nullopt when it gave no reading.
std::optional<double> RuntimeCommand(Xcp& xcp);

}  // namespace kbx
