#include "link/error_trap.h"

namespace kbx {

std::string ErrorText(const RunTimeError& error) {
  return std::to_string(error.number()) + " " + error.description();
}

std::string ErrorLine(const RunTimeError& error, Routine routine) {
  std::string line = ErrorText(error);
  if (routine != Routine::kUpdateKbxConfiguration) line += " " + std::to_string(static_cast<int>(routine));
  return line;
}

}  // namespace kbx
