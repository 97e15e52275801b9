// Telling the UPS how many battery extension modules are attached.
#include "ups/kbx_config.h"

#include "link/numbers.h"

namespace kbx {

KbxChoices DetermineKbxSupport(Xcp& xcp, const std::function<void()>& repaintDialog) {
  KbxChoices choices;
  choices.enableTest = xcp.bBatteryTest;
  xcp.host().AddToBoard("Determining KBXs Supported...");
  choices.items.clear();
  if (repaintDialog) repaintDialog();
  if (xcp.UpsType > 0) {
    switch (xcp.UpsType) {
      case 280:
      case 290:
      case 292:
        choices.frameEnabled = true;
        choices.optionsEnabled = true;
        if (xcp.UpsType == 290) choices.applyEnabled = true;
        choices.items = {"0", "1", "2"};
        xcp.host().AddToBoard("Done");
        break;
      default:
        choices.applyEnabled = false;
        choices.optionsEnabled = false;
        choices.items.clear();
        xcp.host().AddToBoard("Unknown UPS Type");
        break;
    }
    for (std::size_t i = 0; i < choices.items.size(); ++i) {
      if (choices.items[i] == xcp.sKBXCount) {
        choices.selected = static_cast<int>(i);
        break;
      }
    }
  }
  xcp.ErrorCheck(15);
  return choices;
}

bool UpdateKBXConfiguration(Xcp& xcp, const std::int16_t& count) {
  XcpHost& host = xcp.host();
  bool result = false;
  try {
    host.AddToBoard("Updating KBXs...");
    host.Repaint();
    xcp.clock().Sleep(100);
    xcp.FlushPort();
    switch (xcp.UpsType) {
      case 280:
      case 292:
        result =
            xcp.SetUpsParameter(HexText(kModuleCountParameter), HexText(static_cast<std::uint32_t>(count)));
        if (!result) host.AddToBoard("Error Setting KBXs");
        break;
      case 290: {
        const std::int16_t modulesValue = ToInteger(2.0 * count + 1);
        if (xcp.SetUpsVariable(std::to_string(kModuleCountVariable),
                               HexText(static_cast<std::uint16_t>(modulesValue))) &&
            !xcp.CheckAck(kAckBlock)) {
          host.AddToBoard("Error Setting KBXs");
          break;
        }
        if (count < 0 || count >= static_cast<std::int16_t>(kBatteryBaseTime.size())) {
          throw RunTimeError(kErrSubscript);
        }
        const std::string baseTime = HexText(static_cast<std::uint16_t>(kBatteryBaseTime[count]));
        if (xcp.SetUpsVariable(std::to_string(kBaseTimeVariable), baseTime) && !xcp.CheckAck(kAckBlock)) {
          host.AddToBoard("Error Setting Battery Base Time");
          break;
        }
        if (!xcp.SetRamValue(HexText(kBaseTimeRamWord), baseTime)) {
          host.AddToBoard("Error Updating Battery Base Time RAM value");
          break;
        }
        if (!xcp.ResetEepromChecksum()) break;
        result = xcp.CheckAck(kAckBlock);
        if (!result) host.AddToBoard("Error Resetting EEPROM Checksum");
        break;
      }
      default:
        break;
    }
  } catch (const RunTimeError& e) {
    xcp.RecordError(e);
  }
  if (xcp.ErrorCheck(0)) result = false;
  return result;
}

bool ApplyKbxConfiguration(Xcp& xcp, const std::string& countText, bool enableTest) {
  bool result = false;
  try {
    xcp.sKBXCount = countText;
    xcp.bBatteryTest = enableTest;
    result = UpdateKBXConfiguration(xcp, IntegerFromText(xcp.sKBXCount));
    if (result) xcp.host().AddToBoard("Done");
  } catch (const RunTimeError& e) {
    xcp.RecordError(e);
  }
  xcp.ErrorCheck(14);
  return result;
}

std::string KbxConfirmText(const std::string& countText) {
  return "WARNING: You are about to update number of KBXs attached to UPS. \r\n"
         "Runtime will be inaccurate if wrong number of KBXs are associated with UPS.\r\n\r\n"
         "Number of KBXs selected:  " +
         countText + " \r\n\r\nContinue? ";
}

}  // namespace kbx
