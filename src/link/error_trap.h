#pragma once

#include <optional>
#include <string>
#include <utility>

#include "link/xcp_host.h"
#include "platform/run_time_error.h"

namespace kbx {

// The tags by which an error line tells which routine trapped the error.
enum class Routine : int {
  kUpdateKbxConfiguration = 0,  // writes its line without a tag
  kMain = 1,                    // the start-up box, not the board
  kCheckAck = 3,
  kReadPort = 4,
  kXcpTransact = 5,
  kConnectUps = 6,
  kIdentifyUps = 8,
  kReadIdentification = 9,
  kGetBatteryTimeRemaining = 10,
  kSettingsDialogLoad = 13,
  kKbxDialogApply = 14,
  kKbxDialogLoad = 15,
  kGetResponse = 35,
};

// "number description".
std::string ErrorText(const RunTimeError& error);
// "number description tag" (no tag for UpdateKbxConfiguration).
std::string ErrorLine(const RunTimeError& error, Routine routine);

// The error trap of a routine: runs its body; a run-time error raised there
// ends the body, goes on the board as one error line with the routine's tag,
// and the routine gives `failure`. An error is reported once, by the nearest
// trap, and is gone afterwards.
template <typename Result, typename Body>
Result RunTrapped(XcpHost& host, Routine routine, Result failure, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (const RunTimeError& error) {
    host.AddToBoard(FailureLine(ErrorLine(error, routine)));
    return failure;
  }
}

// The same for a routine without a result.
template <typename Body>
void RunTrapped(XcpHost& host, Routine routine, Body&& body) {
  RunTrapped(host, routine, true, [&] {
    std::forward<Body>(body)();
    return true;
  });
}

// Runs a step whose failure its caller weighs itself: the run-time error it
// raised, if any.
template <typename Action>
std::optional<RunTimeError> ErrorOf(Action&& action) {
  try {
    std::forward<Action>(action)();
    return std::nullopt;
  } catch (const RunTimeError& error) {
    return error;
  }
}

}  // namespace kbx
