#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "link/xcp_link.h"

namespace kbx {

// The XCP module: the link below, and what the program knows of the UPS on
// it. One object holds the whole module state; both front ends create one.
class Xcp : public XcpLink {
 public:
  using XcpLink::XcpLink;

  // The module state as start-up sets it.
  void InitState();

  // --- connection -----------------------------------------------------------
  void ConnectUps();
  void DisconnectUps();
  bool SendSwitchRequest(std::string& value);
  void SendLinkStart();

  // --- identification -------------------------------------------------------
  std::int32_t IdentifyUps();
  void ReadIdentification();
  // Takes the identification block in ResponseBlock apart; raises 9 when it
  // is shorter than its fields, 6 for a type block length above 32767.
  void ParseIdentificationBlock();
  bool RequestIdBlock();
  bool RequestTypeBlock();
  void SendAuthorization();
  static std::string VersionText(const std::uint8_t& major, const std::uint8_t& minor);

  // --- battery runtime ------------------------------------------------------
  double GetBatteryTimeRemaining(const std::int16_t& meter);
  bool RequestMeterBlock();
  // The value of the k-th reported meter in the meter block in ResponseBlock,
  // by its format code; raises 9 when the meter or its bytes are missing.
  double DecodeMeterValue(std::size_t k) const;

  // --- setting commands -----------------------------------------------------
  bool SetUpsVariable(const std::string& variable, const std::string& value);
  bool ResetEepromChecksum();
  bool SetRamValue(const std::string& address, const std::string& value);
  bool SetUpsParameter(const std::string& parameter, const std::string& value);

  // --- module state ---------------------------------------------------------
  std::int16_t UpsType = 0;
  double CpuVersion1 = 0;
  float CpuVersion2 = 0;
  float CpuVersion3 = 0;
  float CpuVersion4 = 0;
  float CpuVersion5 = 0;
  std::int16_t MeterMapLength = 0;
  std::vector<std::int16_t> MeterNumber;
  std::vector<std::int16_t> MeterFormat;
  std::int16_t FlagMapLength = 0;
  std::int16_t TypeBlockLength = 0;
  std::int16_t ThirdMapLength = 0;
  std::string sKBXCount = "0";
  bool bBatteryTest = true;
  // The three code bytes of the authorization request that unlocks the set
  // commands; `--access-code` replaces them.
  std::array<std::uint8_t, 3> AccessCode = kDefaultAccessCode;

 private:
  // A byte of ResponseBlock; an index outside it raises 9.
  std::uint8_t Response(long index) const;
  void StoreVersion(int processor, double value);
};

// Reads "HEX6" (six hexadecimal digits) into an access code; false when malformed.
bool ParseAccessCode(const std::string& text, std::array<std::uint8_t, 3>& code);

}  // namespace kbx
