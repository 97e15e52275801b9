#include "link/command_guard.h"

#include <exception>
#include <string>

#include "platform/run_time_error.h"

namespace kbx {

bool RunGuarded(XcpHost& host, const std::function<bool()>& command) {
  try {
    return command();
  } catch (const RunTimeError& e) {
    host.AddToBoard(std::to_string(e.number()) + " " + e.description());
  } catch (const std::exception& e) {
    host.AddToBoard(e.what());
  }
  return false;
}

}  // namespace kbx
