#pragma once

#include <string>

#include "ups/xcp.h"

namespace kbx {

// Hours as the board shows them: " H:MM:SS" (a minus sign instead of the
// blank for negative hours; minutes and seconds rounded down).
std::string TimeRemainText(double hours);

// The Runtime command: reads meter 36 and puts the time remaining on the
// board. True when a reading came back.
bool RuntimeCommand(Xcp& xcp);

}  // namespace kbx
