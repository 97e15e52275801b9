#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "link/protocol.h"
#include "link/xcp_link.h"
#include "ups/firmware_version.h"
#include "ups/identification_block.h"
#include "ups/ups_types.h"

namespace kbx {

namespace test {
class XcpProbe;
}

// Who answered on the line, as identification found it.
struct UnitIdentity {
  std::int16_t type = 0;                      // 0 when none
  std::array<FirmwareVersion, 5> versions{};  // processors 1 to 5, 0.00 where the unit has none
};

// What connecting found: the unit's type and versions, and whether this
// program works with it or why not.
struct ConnectOutcome {
  using Verdict = UnitVerdict;
  Verdict verdict = Verdict::kFailed;
  std::int16_t type = 0;                      // the type code identified last, 0 when none
  std::array<FirmwareVersion, 5> versions{};  // processors 1 to 5, 0.00 where the unit has none
  bool Accepted() const { return verdict == Verdict::kAccepted; }
};

// The XCP module: what the program knows of the UPS, and the link it talks
// to the UPS on. One object holds the whole module state; both front ends
// create one and ask it to do things.
class Xcp {
 public:
  Xcp(SerialPort& port, Clock& clock, XcpHost& host);

  // The module state as start-up sets it.
  void InitState();

  // --- port and link ----------------------------------------------------------
  PortOutcome ConfigurePort(const PortSettings& settings) { return link_.ConfigurePort(settings); }
  PortOutcome ChangePort(int baudRate, double comNumber) { return link_.ChangePort(baudRate, comNumber); }
  PortOutcome OpenPort() { return link_.OpenPort(); }
  void FlushPort() { link_.FlushPort(); }
  void ClosePort() { link_.ClosePort(); }
  void RefreshSettingsLabel() { link_.RefreshSettingsLabel(); }
  const PortSettings& StoredPortSettings() const { return link_.StoredSettings(); }
  bool LinkUp() const { return link_.LinkUp(); }
  bool CheckAck(int expectedBlock) { return link_.CheckAck(expectedBlock); }

  // --- connection -------------------------------------------------------------
  ConnectOutcome ConnectUps();
  // The first half of ConnectUps, which decides nothing: a link that is up is
  // disconnected, "Connecting..." starts the board, and the unit is
  // identified (IdentifyUps) with the pauses around it; nothing goes out
  // after the type block request. A type code above 32767 raises 6.
  UnitIdentity IdentifyUnit();
  void DisconnectUps();
  // The disconnect request alone (0xFF), without forgetting the unit.
  void SendDisconnect() { link_.SendDisconnect(); }
  // False only when the UPS answered the switch request with a frame.
  bool SendSwitchRequest(std::uint8_t argument);
  void SendLinkStart();

  // --- identification ---------------------------------------------------------
  std::int32_t IdentifyUps();
  void ReadIdentification();
  Reply RequestIdBlock();
  Reply RequestTypeBlock();
  void SendAuthorization();

  // The type code of the unit identified last, 0 when none.
  std::int16_t UpsType() const { return upsType_; }
  // The firmware version of processor 1 to 5, 0.00 when the unit has none.
  FirmwareVersion ProcessorVersion(int processor) const;
  std::int16_t MeterMapLength() const { return meterMapLength_; }
  std::int16_t FlagMapLength() const { return flagMapLength_; }
  std::int16_t TypeBlockLength() const { return typeBlockLength_; }
  std::int16_t ThirdMapLength() const { return thirdMapLength_; }
  // The meters the unit reports, in meter-map order, and their format codes.
  const std::vector<std::int16_t>& MeterNumbers() const { return meterNumbers_; }
  const std::vector<std::int16_t>& MeterFormats() const { return meterFormats_; }

  // --- battery runtime --------------------------------------------------------
  // The value of a meter, 0 when it could not be read.
  double GetBatteryTimeRemaining(std::int16_t meter);
  Reply RequestMeterBlock();

  // --- setting commands -------------------------------------------------------
  // Each tells whether its request went out (`sent`) and whether it succeeded
  // (`accepted`, also the Reply's truth): a variable or the checksum reset once
  // sent, a RAM word once acknowledged, a parameter once answered with 0x31.
  Reply SetUpsVariable(std::uint8_t variable, std::uint16_t value);
  Reply ResetEepromChecksum();
  Reply SetRamValue(std::uint16_t address, std::uint16_t value);
  Reply SetUpsParameter(std::uint8_t parameter, std::uint16_t value);
  // The code the authorization request unlocks the set commands with.
  void SetAccessCode(const AccessCode& code) { accessCode_ = code; }

  // --- module configuration ---------------------------------------------------
  // The module count last applied (the text of the dialog's item), and the
  // Battery Commissioning Test choice that went with it.
  const std::string& ModuleCount() const { return moduleCount_; }
  bool BatteryTestEnabled() const { return batteryTest_; }
  void RememberModuleChoices(const std::string& moduleCount, bool batteryTest);

  // --- the window and the waits -------------------------------------------------
  XcpHost& Host() const { return host_; }
  void Wait(int milliseconds) { clock_.Sleep(milliseconds); }

 private:
  friend class test::XcpProbe;

  // Keeps what an identification block says; raises the error that stopped
  // its reading (9 when it is shorter than its fields, 6 for a type block
  // length above 32767) after keeping what was read before it.
  void TakeIdentification(const IdentificationBlock& parsed);
  // The value of the k-th reported meter in a meter block, by its format
  // code; raises 9 when the meter or its bytes are missing.
  double DecodeMeterValue(const Bytes& block, std::size_t k) const;
  // A byte of a block; an index outside it raises 9.
  static std::uint8_t At(const Bytes& block, long index);
  void ClearVersions() { versions_ = {}; }
  // Switches a unit over and identifies it again: accepted when it then
  // answers as the type it switches to.
  UnitVerdict SwitchOver();
  Bytes AuthorizationRequest() const;
  void AddToBoard(const BoardLine& line) { host_.AddToBoard(line); }

  XcpLink link_;
  Clock& clock_;
  XcpHost& host_;

  std::int16_t upsType_ = 0;
  std::array<FirmwareVersion, 5> versions_{};  // processors 1 to 5
  std::int16_t meterMapLength_ = 0;
  std::vector<std::int16_t> meterNumbers_;
  std::vector<std::int16_t> meterFormats_;
  std::int16_t flagMapLength_ = 0;
  std::int16_t typeBlockLength_ = 0;
  std::int16_t thirdMapLength_ = 0;
  std::string moduleCount_ = "0";
  bool batteryTest_ = true;
  AccessCode accessCode_ = kDefaultAccessCode;
};

// Reads "HEX6" (six hexadecimal digits) into an access code; false when malformed.
bool ParseAccessCode(const std::string& text, AccessCode& code);

}  // namespace kbx
