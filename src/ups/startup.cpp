#include "ups/startup.h"

namespace kbx {

std::string StartUp(Xcp& xcp, const std::string& baud, const std::string& port) {
  try {
    xcp.InitState();
    xcp.ResponseBlock.assign(1, 0);
    xcp.ConfigurePort(baud, "N", 8, 1, port);
  } catch (const RunTimeError& e) {
    xcp.RecordError(e);
  }
  std::string message;
  // A port that is merely not there to open is on the board already; every
  // other failure is worth a box.
  if (xcp.Err.number > 0 && xcp.Err.number != kErrDeviceNotOpen) {
    message = std::to_string(xcp.Err.number) + " Start: " + xcp.Err.description + " 1";
  }
  xcp.ClearError();
  return message;
}

}  // namespace kbx
