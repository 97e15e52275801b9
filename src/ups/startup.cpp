#include "ups/startup.h"

#include "link/error_trap.h"

namespace kbx {

std::string StartUp(Xcp& xcp, const std::string& baud, const std::string& port) {
  xcp.InitState();
  const PortOutcome failure = xcp.ConfigurePort({baud, "N", 8, 1, port});
  // A port that is merely not there to open is on the board already; every
  // other failure is worth a box.
  if (!failure || failure->number == kErrDeviceNotOpen) return "";
  return std::to_string(failure->number) + " Start: " + failure->description + " " +
         std::to_string(static_cast<int>(Routine::kMain));
}

}  // namespace kbx
