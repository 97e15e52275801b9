#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ups/xcp.h"

namespace kbx {

// What the module configuration dialog shows once it has looked at the UPS
// type. It starts as a new dialog does: Apply enabled, "Enable Test" chosen.
struct KbxChoices {
  bool frameEnabled = true;
  bool optionsEnabled = true;
  bool applyEnabled = true;
  bool enableTest = true;          // which option button is selected
  std::vector<std::string> items;  // the module counts offered
  int selected = -1;               // index into items, -1 for none
};

// Opening the dialog: reports on the board which module counts the connected
// UPS supports and preselects the count applied last. `repaintDialog` runs
// after the first line, so that it shows while the dialog is still filling.
KbxChoices DetermineKbxSupport(Xcp& xcp, const std::function<void()>& repaintDialog = {});

// Writes the module count, and for type 290 the battery base time, into the
// UPS. True when the UPS accepted the whole update.
bool UpdateKBXConfiguration(Xcp& xcp, std::int16_t count);

// Apply after the user confirmed: remembers the choices, runs the update and
// writes "Done" when it succeeded.
bool ApplyKbxConfiguration(Xcp& xcp, const std::string& countText, bool enableTest);

// The question the user confirms before the update.
inline constexpr const char* kKbxConfirmTitle = "Update KBX Configuration";
std::string KbxConfirmText(const std::string& countText);

}  // namespace kbx
