// Connecting to the UPS, deciding whether this program works with it, and
// ending the connection.
#include "link/numbers.h"
#include "ups/xcp.h"

namespace kbx {

void Xcp::InitState() {
  CpuVersion1 = 0;
  CpuVersion2 = CpuVersion3 = CpuVersion4 = CpuVersion5 = 0;
  sKBXCount = "0";
  bBatteryTest = true;
  iRxTimeout = 6;
  UpsType = 0;
  MeterMapLength = FlagMapLength = TypeBlockLength = ThirdMapLength = 0;
  LinkUp = false;
  RxBuffer.assign(kRxBufferSize, 0);
  TxFrame.clear();
  ResponseBlock.clear();
}

void Xcp::ConnectUps() {
  try {
    Sleep(50);
    if (LinkUp) DisconnectUps();
    Sleep(50);
    UpsType = 0;
    host().BoardClear();
    AddToBoard("Connecting...");
    host().Repaint();
    Sleep(50);
    UpsType = ToInteger(IdentifyUps());
    Sleep(50);
    if (UpsType <= 1) {
      AddToBoard("NO UPS Found");
    } else {
      bool accept = false;
      switch (UpsType) {
        case 280:
        case 292:
          accept = true;
          break;
        case 290:
          if (CpuVersion2 == 1.03f) {
            accept = true;
          } else if (CpuVersion2 > 1.03f) {
            AddToBoard("KBX Configurator needs upgrade to newer version");
          } else {
            AddToBoard("UPS code needs upgrade to newer version");
          }
          break;
        case 281: {
          // This unit has to be switched over first; it answers as 280 afterwards.
          std::string argument = "00";
          if (!SendSwitchRequest(argument)) {
            AddToBoard("NO UPS Found");
          } else {
            SendLinkStart();
            UpsType = ToInteger(IdentifyUps());
            if (UpsType == 280) {
              SendLinkStart();
              LinkUp = true;
            }
          }
          break;
        }
        default:
          AddToBoard("Invalid UPS Type");
          break;
      }
      if (accept) {
        LinkUp = true;
        SendLinkStart();
        AddToBoard("UPS Found");
      }
      OpenPort();
      Sleep(50);
    }
    AddToBoard("Done");
    Sleep(100);
  } catch (const RunTimeError& e) {
    RecordError(e);
  }
  ErrorCheck(6);
}

void Xcp::DisconnectUps() {
  Sleep(100);
  SendDisconnect();
  host().BoardClear();
  AddToBoard("Disconnecting...");
  host().Repaint();
  Sleep(500);
  MeterMapLength = FlagMapLength = ThirdMapLength = TypeBlockLength = 0;
  UpsType = 0;
  CpuVersion1 = 0;
  CpuVersion2 = CpuVersion3 = CpuVersion4 = CpuVersion5 = 0;
  LinkUp = false;
  OpenPort();
  FlushPort();
  AddToBoard("Done");
  Sleep(500);
}

bool Xcp::SendSwitchRequest(std::string& value) {
  value = FixLength(value, 2);
  const auto v = static_cast<std::uint8_t>(HexValue(value));
  if (CpuVersion4 > 0) {
    RequestBlock = {kSwitchCommand, kLongSwitchPrefix[0], kLongSwitchPrefix[1], v};
  } else {
    RequestBlock = {kSwitchCommand, 0x00, v};
  }
  // A unit that can be switched says nothing; one that answers cannot.
  if (XcpTransact(static_cast<int>(RequestBlock.size()), RequestBlock, 0) && ReceiveFrame()) return false;
  return true;
}

void Xcp::SendLinkStart() {
  RequestBlock.assign(kLinkStartRequest.begin(), kLinkStartRequest.end());
  XcpTransact(4, RequestBlock, 0);
}

}  // namespace kbx
