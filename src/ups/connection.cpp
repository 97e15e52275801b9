// Connecting to the UPS, deciding whether this program works with it, and
// ending the connection.
#include "link/board_lines.h"
#include "link/error_trap.h"
#include "link/numbers.h"
#include "ups/xcp.h"

namespace kbx {

namespace {
// The one version of a type 290's second processor this program works with.
constexpr FirmwareVersion kSupported290Version{0x01, 0x03};
}  // namespace

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
  using Verdict = ConnectOutcome::Verdict;
  RunTrapped(host_, Routine::kConnectUps, [&] {
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
    if (upsType_ <= 1) {
      found.verdict = Verdict::kNoUps;
      AddToBoard(kNoUpsFound);
    } else {
      bool accept = false;
      switch (upsType_) {
        case 280:
        case 292:
          accept = true;
          break;
        case 290:
          if (ProcessorVersion(2) == kSupported290Version) {
            accept = true;
          } else if (ProcessorVersion(2) > kSupported290Version) {
            found.verdict = Verdict::kProgramTooOld;
            AddToBoard(kProgramNeedsUpgrade);
          } else {
            found.verdict = Verdict::kUpsCodeTooOld;
            AddToBoard(kUpsCodeNeedsUpgrade);
          }
          break;
        case 281:
          // This unit has to be switched over first; it answers as 280 afterwards.
          if (!SendSwitchRequest("00")) {
            found.verdict = Verdict::kNoUps;
            AddToBoard(kNoUpsFound);
          } else {
            SendLinkStart();
            upsType_ = ToInteger(IdentifyUps());
            if (upsType_ == 280) {
              SendLinkStart();
              link_.SetLinkUp(true);
              found.verdict = Verdict::kAccepted;
            } else {
              found.verdict = Verdict::kNoUps;
              AddToBoard(kNoUpsFound);  // the switch-over did not take
            }
          }
          break;
        default:
          found.verdict = Verdict::kUnknownType;
          AddToBoard(kInvalidUpsType);
          break;
      }
      if (accept) {
        link_.SetLinkUp(true);
        found.verdict = Verdict::kAccepted;
        SendLinkStart();
        AddToBoard("UPS Found");
      }
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

bool Xcp::SendSwitchRequest(const std::string& argument) {
  const auto value = static_cast<std::uint8_t>(HexValue(FixLength(argument, 2)));
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
