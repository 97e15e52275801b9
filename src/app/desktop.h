#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kbx {

class MainWindow;
class Xcp;

struct DesktopOptions {
  std::vector<std::pair<int, std::string>> mappings;  // --com N=DEVICE
  bool hasAccessCode = false;
  std::array<std::uint8_t, 3> accessCode{};
  bool simulate = false;
  int simulateType = 290;
  std::string trace;  // --trace FILE; empty for none
  bool help = false;
  bool version = false;
};

bool ParseDesktopOptions(const std::vector<std::string>& args, DesktopOptions& options, std::string& error);
extern const char* const kDesktopUsage;

// Start-up with the window created: the module state, the port opened with
// the default settings, the window shown, and the start-up box over it when
// the port failed in a way worth a box.
void StartDesktop(MainWindow& window, Xcp& xcp);

}  // namespace kbx
