#include "ups/startup.h"

#include "link/error_trap.h"

namespace kbx {

bool StartUpOutcome::WantsBox() const {
  return portFailure && portFailure->number != kErrDeviceNotOpen;
}

std::string StartUpOutcome::BoxLine() const {
  if (!WantsBox()) return "";
  return std::to_string(portFailure->number) + " Start: " + portFailure->description + " " +
         std::to_string(static_cast<int>(Routine::kMain));
}

const PortFailure& StartUpOutcome::Why() const {
  static const PortFailure kNone;
  return portFailure ? portFailure->why : kNone;
}

StartUpOutcome StartUp(Xcp& xcp, int baud, int port) {
  xcp.InitState();
  return {xcp.ConfigurePort({baud, 'N', 8, 1, port})};
}

}  // namespace kbx
