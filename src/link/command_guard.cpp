#include "link/command_guard.h"

#include <exception>
#include <string>

#include "link/error_trap.h"

namespace kbx {

bool RunGuarded(XcpHost& host, const std::function<bool()>& command) {
  try {
    return command();
  } catch (const RunTimeError& e) {
    host.AddToBoard(FailureLine(ErrorText(e)));
  } catch (const std::exception& e) {
    host.AddToBoard(FailureLine(e.what()));
  }
  return false;
}

}  // namespace kbx
