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

// How a module update ended, as data: the dialog's outcome and kbx's
// messages and report are made from it, never from the board.
struct KbxUpdateOutcome {
  enum class Ending {
    kDone,             // the UPS accepted every step
    kNotAcknowledged,  // the UPS refused a step, or its acknowledgement never came
    kNotSent,          // a step's request did not go out: the port failed
    kInterrupted,      // a run-time error ended the update
    kNotSupported,     // this UPS type has no update: nothing was sent
  };
  Ending ending = Ending::kNotSupported;
  std::vector<std::string> steps;  // what each step of this type's update writes, in order
  int step = 0;        // the step it stopped at, from 1; 0 when it completed or stopped before one
  int confirmed = 0;   // how many steps, from the first, the UPS confirmed
  BoardLine line{""};  // the board line it ended with: "Done", a failure or an error line

  bool Done() const { return ending == Ending::kDone; }
  explicit operator bool() const { return Done(); }
  // The values the UPS confirmed, in order.
  std::vector<std::string> Confirmed() const;
};

// "done", "not acknowledged", "not sent", "interrupted", "not supported".
std::string EndingName(KbxUpdateOutcome::Ending ending);

// What the user must know of an update that did not complete: where it
// stopped, why, which values the UPS confirmed, and that it must be run again.
// Empty for a completed update.
std::string KbxUpdateSummary(const KbxUpdateOutcome& outcome);

// Writes the module count, and for type 290 the battery base time, into the
// UPS, step by step: the first step whose request was not sent or that the
// UPS did not accept ends the update with that step's failure line.
KbxUpdateOutcome UpdateKBXConfiguration(Xcp& xcp, std::int16_t count);

// Apply after the user confirmed: remembers the choices, runs the update and
// writes "Done" when it succeeded.
KbxUpdateOutcome ApplyKbxConfiguration(Xcp& xcp, const std::string& countText, bool enableTest);

// The question the user confirms before the update.
inline constexpr const char* kKbxConfirmTitle = "Update KBX Configuration";
std::string KbxConfirmText(const std::string& countText);

}  // namespace kbx
