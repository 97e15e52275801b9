// Connecting to the UPS, deciding whether this program works with it, and
// ending the connection.
#include "link/board_lines.h"
#include "link/error_trap.h"
#include "link/numbers.h"
#include "ups/xcp.h"

namespace kbx {

Xcp::Xcp(SerialPort& port, Clock& clock, XcpHost& host)
    : link_(port, clock, host), clock_(clock), host_(host) {}

void Xcp::InitState() {
  link_.InitState();
  ClearVersions();
  moduleCount_ = "0";
  batteryTest_ = true;
  upsType_ = 0;
  meterMapLength_ = flagMapLength_ = typeBlockLength_ = thirdMapLength_ = 0;
}

void Xcp::RememberModuleChoices(const std::string& moduleCount, bool batteryTest) {
  moduleCount_ = moduleCount;
  batteryTest_ = batteryTest;
}

ConnectOutcome Xcp::ConnectUps() {
  ConnectOutcome found;
  RunTrapped(host_, Routine::kConnectUps, [&] {
    IdentifyUnit();
    const UnitVerdict verdict = JudgeUnit(upsType_, versions_);
    switch (verdict) {
      case UnitVerdict::kSwitchOver:
        found.verdict = SwitchOver();
        break;
      case UnitVerdict::kAccepted:
        link_.SetLinkUp(true);
        found.verdict = verdict;
        SendLinkStart();
        AddToBoard("UPS Found");
        break;
      case UnitVerdict::kFailed:
        break;
      default:
        found.verdict = verdict;
        AddToBoard(*RefusalLine(verdict));
        break;
    }
    if (verdict != UnitVerdict::kNoUps) {
      link_.OpenPort();
      Wait(50);
    }
    AddToBoard("Done");
    Wait(100);
  });
  found.type = upsType_;
  found.versions = versions_;
  return found;
}

UnitIdentity Xcp::IdentifyUnit() {
  Wait(50);
  if (link_.LinkUp()) DisconnectUps();
  Wait(50);
  upsType_ = 0;
  host_.BoardClear();
  AddToBoard("Connecting...");
  host_.Repaint();
  Wait(50);
  upsType_ = ToInteger(IdentifyUps());
  Wait(50);
  return {upsType_, versions_};
}

void Xcp::DisconnectUps() {
  Wait(100);
  link_.SendDisconnect();
  host_.BoardClear();
  AddToBoard("Disconnecting...");
  host_.Repaint();
  Wait(500);
  // The unit is forgotten, all but its meter map.
  meterMapLength_ = flagMapLength_ = thirdMapLength_ = typeBlockLength_ = 0;
  upsType_ = 0;
  ClearVersions();
  link_.SetLinkUp(false);
  link_.OpenPort();
  link_.FlushPort();
  AddToBoard("Done");
  Wait(500);
}

UnitVerdict Xcp::SwitchOver() {
  // This unit has to be switched over first; it answers as the type it
  // switches to afterwards.
  const std::int16_t switchesTo = FindUpsType(upsType_)->switchesTo;
  if (!SendSwitchRequest(0x00)) {
    AddToBoard(kNoUpsFound);
    return UnitVerdict::kNoUps;
  }
  SendLinkStart();
  upsType_ = ToInteger(IdentifyUps());
  if (upsType_ != switchesTo) {
    AddToBoard(kNoUpsFound);  // the switch-over did not take
    return UnitVerdict::kNoUps;
  }
  SendLinkStart();
  link_.SetLinkUp(true);
  return UnitVerdict::kAccepted;
}

bool Xcp::SendSwitchRequest(std::uint8_t value) {
  // A unit with a fourth processor takes the long form.
  const Bytes request = ProcessorVersion(4).Present()
                            ? Bytes{kSwitchCommand, kLongSwitchPrefix[0], kLongSwitchPrefix[1], value}
                            : Bytes{kSwitchCommand, 0x00, value};
  // A unit that can be switched says nothing; one that answers cannot.
  return !(link_.XcpTransact(request, 0) && link_.ReceiveFrame());
}

void Xcp::SendLinkStart() {
  link_.XcpTransact(Bytes(kLinkStartRequest.begin(), kLinkStartRequest.end()), 0);
}

}  // namespace kbx
