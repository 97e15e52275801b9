// Telling the UPS how many battery extension modules are attached.
#include "ups/kbx_config.h"

#include "link/board_lines.h"
#include "link/error_trap.h"
#include "link/numbers.h"

namespace kbx {

KbxChoices DetermineKbxSupport(Xcp& xcp, const std::function<void()>& repaintDialog) {
  XcpHost& host = xcp.Host();
  KbxChoices choices;
  RunTrapped(host, Routine::kKbxDialogLoad, [&] {
    choices.enableTest = xcp.BatteryTestEnabled();
    host.AddToBoard("Determining KBXs Supported...");
    choices.items.clear();
    if (repaintDialog) repaintDialog();
    if (xcp.UpsType() <= 0) return;
    switch (xcp.UpsType()) {
      case 280:
      case 290:
      case 292:
        choices.frameEnabled = true;
        choices.optionsEnabled = true;
        if (xcp.UpsType() == 290) choices.applyEnabled = true;
        choices.items = {"0", "1", "2"};
        host.AddToBoard("Done");
        break;
      default:
        choices.applyEnabled = false;
        choices.optionsEnabled = false;
        choices.items.clear();
        host.AddToBoard(kUnknownUpsType);
        break;
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

bool UpdateKBXConfiguration(Xcp& xcp, std::int16_t count) {
  XcpHost& host = xcp.Host();
  return RunTrapped(host, Routine::kUpdateKbxConfiguration, false, [&] {
    host.AddToBoard("Updating KBXs...");
    host.Repaint();
    xcp.Wait(100);
    xcp.FlushPort();
    switch (xcp.UpsType()) {
      case 280:
      case 292: {
        const bool result =
            xcp.SetUpsParameter(HexText(kModuleCountParameter), HexText(static_cast<std::uint32_t>(count)));
        if (!result) host.AddToBoard(kErrorSettingKbxs);
        return result;
      }
      case 290: {
        const std::int16_t countValue = ToInteger(2.0 * count + 1);
        if (xcp.SetUpsVariable(std::to_string(kModuleCountVariable),
                               HexText(static_cast<std::uint16_t>(countValue))) &&
            !xcp.CheckAck(kAckBlock)) {
          host.AddToBoard(kErrorSettingKbxs);
          return false;
        }
        if (count < 0 || count >= static_cast<std::int16_t>(kBatteryBaseTime.size())) {
          throw RunTimeError(kErrSubscript);
        }
        const std::string baseTime =
            HexText(static_cast<std::uint16_t>(kBatteryBaseTime[static_cast<std::size_t>(count)]));
        if (xcp.SetUpsVariable(std::to_string(kBaseTimeVariable), baseTime) && !xcp.CheckAck(kAckBlock)) {
          host.AddToBoard(kErrorSettingBaseTime);
          return false;
        }
        if (!xcp.SetRamValue(HexText(kBaseTimeRamWord), baseTime)) {
          host.AddToBoard(kErrorUpdatingBaseTimeRam);
          return false;
        }
        if (!xcp.ResetEepromChecksum()) return false;
        const bool result = xcp.CheckAck(kAckBlock);
        if (!result) host.AddToBoard(kErrorResettingChecksum);
        return result;
      }
      default:
        return false;
    }
  });
}

bool ApplyKbxConfiguration(Xcp& xcp, const std::string& countText, bool enableTest) {
  return RunTrapped(xcp.Host(), Routine::kKbxDialogApply, false, [&] {
    xcp.RememberModuleChoices(countText, enableTest);
    const bool result = UpdateKBXConfiguration(xcp, IntegerFromText(countText));
    if (result) xcp.Host().AddToBoard("Done");
    return result;
  });
}

std::string KbxConfirmText(const std::string& countText) {
  return "WARNING: You are about to update number of KBXs attached to UPS. \r\n"
         "Runtime will be inaccurate if wrong number of KBXs are associated with UPS.\r\n\r\n"
         "Number of KBXs selected:  " +
         countText + " \r\n\r\nContinue? ";
}

}  // namespace kbx
