// Telling the UPS how many battery extension modules are attached.
#include "ups/kbx_config.h"

#include <algorithm>

#include "link/board_lines.h"
#include "link/error_trap.h"
#include "link/numbers.h"

namespace kbx {

namespace {

// The policy of a type whose module count this program sets; nullptr for
// the others (and for a unit that did not switch over).
const UpsTypePolicy* ModulePolicy(std::int16_t type) {
  const UpsTypePolicy* policy = FindUpsType(type);
  return policy != nullptr && policy->switchesTo == 0 ? policy : nullptr;
}

}  // namespace

KbxChoices DetermineKbxSupport(Xcp& xcp, const std::function<void()>& repaintDialog) {
  XcpHost& host = xcp.Host();
  KbxChoices choices;
  RunTrapped(host, Routine::kKbxDialogLoad, [&] {
    choices.enableTest = xcp.BatteryTestEnabled();
    host.AddToBoard("Determining KBXs Supported...");
    choices.items.clear();
    if (repaintDialog) repaintDialog();
    if (xcp.UpsType() <= 0) return;
    const UpsTypePolicy* policy = ModulePolicy(xcp.UpsType());
    if (policy != nullptr) {
      choices.frameEnabled = true;
      choices.optionsEnabled = true;
      if (policy->applyAtOnce) choices.applyEnabled = true;
      choices.items = {"0", "1", "2"};
      host.AddToBoard("Done");
    } else {
      choices.applyEnabled = false;
      choices.optionsEnabled = false;
      choices.items.clear();
      host.AddToBoard(kUnknownUpsType);
    }
    for (std::size_t i = 0; i < choices.items.size(); ++i) {
      if (choices.items[i] == xcp.ModuleCount()) {
        choices.selected = static_cast<int>(i);
        break;
      }
    }
  });
  return choices;
}

std::vector<std::string> KbxUpdateOutcome::Confirmed() const {
  const auto count = static_cast<std::size_t>(std::clamp<int>(confirmed, 0, static_cast<int>(steps.size())));
  return {steps.begin(), steps.begin() + static_cast<long>(count)};
}

std::string EndingName(KbxUpdateOutcome::Ending ending) {
  switch (ending) {
    case KbxUpdateOutcome::Ending::kDone:
      return "done";
    case KbxUpdateOutcome::Ending::kNotAcknowledged:
      return "not acknowledged";
    case KbxUpdateOutcome::Ending::kNotSent:
      return "not sent";
    case KbxUpdateOutcome::Ending::kInterrupted:
      return "interrupted";
    case KbxUpdateOutcome::Ending::kNotSupported:
      break;
  }
  return "not supported";
}

std::string KbxUpdateSummary(const KbxUpdateOutcome& outcome) {
  using Ending = KbxUpdateOutcome::Ending;
  if (outcome.Done()) return "";
  if (outcome.ending == Ending::kNotSupported) return "nothing was sent: this UPS type has no module update";
  std::string text = "the update stopped";
  const auto total = static_cast<int>(outcome.steps.size());
  if (outcome.step >= 1 && outcome.step <= total) {
    text += " at step " + std::to_string(outcome.step) + " of " + std::to_string(total) + " (the " +
            outcome.steps[static_cast<std::size_t>(outcome.step - 1)] + ")";
  }
  switch (outcome.ending) {
    case Ending::kNotAcknowledged:
      text += ": the UPS did not acknowledge it";
      break;
    case Ending::kNotSent:
      text += ": the request was not sent";
      break;
    default:
      text += ": " + (outcome.line.text.empty() ? std::string("an error ended it") : outcome.line.text);
      break;
  }
  const std::vector<std::string> confirmed = outcome.Confirmed();
  if (confirmed.empty()) {
    text += "; the UPS confirmed no value";
  } else {
    text += "; the UPS confirmed only the ";
    for (std::size_t i = 0; i < confirmed.size(); ++i) {
      text += (i == 0 ? "" : i + 1 == confirmed.size() ? " and the " : ", the ") + confirmed[i];
    }
  }
  return text + "; run the update again";
}

KbxUpdateOutcome UpdateKBXConfiguration(Xcp& xcp, std::int16_t count) {
  using Ending = KbxUpdateOutcome::Ending;
  XcpHost& host = xcp.Host();
  KbxUpdateOutcome outcome;
  // The step's request went out and the UPS accepted it; otherwise the
  // update ends at this step with the step's failure line.
  auto accepted = [&](const Reply& reply, FailureText failureLine) {
    if (reply.accepted) {
      ++outcome.confirmed;
      return true;
    }
    outcome.ending = reply.sent ? Ending::kNotAcknowledged : Ending::kNotSent;
    outcome.line = failureLine;
    host.AddToBoard(failureLine);
    return false;
  };
  // A variable and the checksum reset are accepted by their acknowledgement.
  auto acknowledged = [&](Reply reply) {
    if (reply.sent) reply.accepted = xcp.CheckAck(kAckBlock);
    return reply;
  };
  const auto error = ErrorOf([&] {
    host.AddToBoard("Updating KBXs...");
    host.Repaint();
    xcp.Wait(100);
    xcp.FlushPort();
    const UpsTypePolicy* policy = ModulePolicy(xcp.UpsType());
    if (policy == nullptr) return;
    if (policy->moduleStore == ModuleStore::kParameter) {
      outcome.steps = {"module count"};
      outcome.step = 1;
      if (!accepted(xcp.SetUpsParameter(kModuleCountParameter, static_cast<std::uint16_t>(count)),
                    kErrorSettingKbxs))
        return;
    } else {
      outcome.steps = {"module count", "battery base time", "battery base time in RAM",
                       "EEPROM checksum reset"};
      outcome.step = 1;
      const std::int16_t countValue = ToInteger(2.0 * count + 1);
      if (!accepted(
              acknowledged(xcp.SetUpsVariable(kModuleCountVariable, static_cast<std::uint16_t>(countValue))),
              kErrorSettingKbxs))
        return;
      outcome.step = 2;
      if (count < 0 || count >= static_cast<std::int16_t>(kBatteryBaseTime.size())) {
        throw RunTimeError(kErrSubscript);
      }
      const std::uint16_t baseTime = kBatteryBaseTime[static_cast<std::size_t>(count)];
      if (!accepted(acknowledged(xcp.SetUpsVariable(kBaseTimeVariable, baseTime)), kErrorSettingBaseTime))
        return;
      outcome.step = 3;
      if (!accepted(xcp.SetRamValue(kBaseTimeRamWord, baseTime), kErrorUpdatingBaseTimeRam)) return;
      outcome.step = 4;
      if (!accepted(acknowledged(xcp.ResetEepromChecksum()), kErrorResettingChecksum)) return;
    }
    outcome.ending = Ending::kDone;
    outcome.step = 0;
  });
  if (error) {
    outcome.ending = Ending::kInterrupted;
    outcome.line = FailureLine(ErrorLine(*error, Routine::kUpdateKbxConfiguration));
    host.AddToBoard(outcome.line);
  }
  return outcome;
}

KbxUpdateOutcome ApplyKbxConfiguration(Xcp& xcp, const std::string& countText, bool enableTest) {
  KbxUpdateOutcome outcome;
  const auto error = ErrorOf([&] {
    xcp.RememberModuleChoices(countText, enableTest);
    outcome = UpdateKBXConfiguration(xcp, IntegerFromText(countText));
  });
  if (error) {
    outcome.ending = KbxUpdateOutcome::Ending::kInterrupted;
    outcome.line = FailureLine(ErrorLine(*error, Routine::kKbxDialogApply));
    xcp.Host().AddToBoard(outcome.line);
  } else if (outcome.Done()) {
    outcome.line = "Done";
    xcp.Host().AddToBoard(outcome.line);
  }
  return outcome;
}

std::string KbxConfirmText(const std::string& countText) {
  return "WARNING: You are about to update number of KBXs attached to UPS. \r\n"
         "Runtime will be inaccurate if wrong number of KBXs are associated with UPS.\r\n\r\n"
         "Number of KBXs selected:  " +
         countText + " \r\n\r\nContinue? ";
}

}  // namespace kbx
