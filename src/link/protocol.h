#pragma once

// The words of XCP: frames, commands, blocks, acknowledgement statuses,
// meters and what the module configuration writes. The program, the line
// trace and the simulated UPS all speak them from here.

#include <array>
#include <cstdint>
#include <string>

namespace kbx {

// --- frames ---------------------------------------------------------------------
inline constexpr std::uint8_t kFrameStart = 0xAB;
// Bit 7 of a response frame's sequence byte marks its last frame; bits 0 to 6
// number the frames from 1.
inline constexpr std::uint8_t kLastFrameBit = 0x80;
inline constexpr std::uint8_t kFrameNumberMask = 0x7F;
// A response frame carries 1 to 140 data bytes.
inline constexpr int kMaxFrameData = 140;
// The serial port's receive buffer, and the most one read brings in.
inline constexpr int kRxBufferSize = 1024;
inline constexpr int kTxBufferSize = 512;

// --- commands (the first data byte of a request) --------------------------------
inline constexpr std::uint8_t kIdentificationRequest = 0xA0;
inline constexpr std::uint8_t kTypeBlockRequest = 0x36;
inline constexpr std::uint8_t kMeterBlockRequest = 0x34;
// Followed by the three bytes of the access code; unlocks the set commands.
inline constexpr std::uint8_t kAuthorizationCommand = 0xCF;
// Switches a type 281 over; followed by the switch argument.
inline constexpr std::uint8_t kSwitchCommand = 0xCE;
// Alone it ends the connection; kLinkStartRequest begins with it too.
inline constexpr std::uint8_t kDisconnectCommand = 0xFF;
// Variable number and a 16-bit value; variable 0 alone resets the EEPROM checksum.
inline constexpr std::uint8_t kSetVariableCommand = 0x78;
inline constexpr std::uint8_t kEepromChecksumVariable = 0x00;
// A 16-bit RAM address and a 16-bit value.
inline constexpr std::uint8_t kSetRamWordCommand = 0xBD;
// A parameter number and a 16-bit value.
inline constexpr std::uint8_t kSetParameterCommand = 0x95;

// Sent when a unit is accepted.
inline constexpr std::array<std::uint8_t, 4> kLinkStartRequest{kDisconnectCommand, 0x06, 0x08, 0x62};
// The two bytes between the command and the argument of the long switch
// request, for units with a fourth processor; the short one has a single 0x00.
inline constexpr std::array<std::uint8_t, 2> kLongSwitchPrefix{0x01, 0x00};

using AccessCode = std::array<std::uint8_t, 3>;
inline constexpr AccessCode kDefaultAccessCode{0x4B, 0x42, 0x58};

// --- blocks (the block number of a response) ------------------------------------
inline constexpr std::uint8_t kIdentificationBlock = 1;
inline constexpr std::uint8_t kMeterBlock = 4;
inline constexpr std::uint8_t kTypeBlock = 6;
inline constexpr std::uint8_t kAckBlock = 9;

// --- acknowledgement statuses (the first data byte of block 9) ------------------
inline constexpr std::uint8_t kAckAccepted = 0x31;
inline constexpr std::uint8_t kAckNotImplemented = 0x32;
inline constexpr std::uint8_t kAckBusy = 0x33;
inline constexpr std::uint8_t kAckUnrecognized = 0x34;
inline constexpr std::uint8_t kAckOutOfRange = 0x35;
inline constexpr std::uint8_t kAckInvalid = 0x36;
inline constexpr std::uint8_t kAckAdjusted = 0x37;

// What a status means ("UPS Busy"); "" for a status that is none of the above.
std::string AckStatusText(std::uint8_t status);
// The board line of a refusal: "UPS Busy (33)", "Unknown ACK 56"; "" for acceptance.
std::string AckBoardLine(std::uint8_t status);

// --- meters ----------------------------------------------------------------------
inline constexpr int kBatteryTimeMeter = 36;
// Format codes: up to 0x97 single precision, 0xE2 a 32-bit integer, 0xF0 to
// 0xFF fixed point with (code - 0xF0) binary places; the others are not read.
inline constexpr int kLastSingleFormat = 0x97;
inline constexpr int kIntegerFormat = 0xE2;
inline constexpr int kFirstFixedPointFormat = 0xF0;

// --- module configuration --------------------------------------------------------
// Type 290 keeps the module count as 2 * count + 1 in a variable and the
// battery base time in a variable and a RAM word; the other types keep the
// count in a parameter.
inline constexpr std::uint8_t kModuleCountVariable = 32;
inline constexpr std::uint8_t kBaseTimeVariable = 56;
inline constexpr std::uint16_t kBaseTimeRamWord = 0x0269;
inline constexpr std::uint8_t kModuleCountParameter = 0x0F;
// Battery base time per module count (none, one, two).
inline constexpr std::array<std::uint16_t, 3> kBatteryBaseTime{994, 4491, 8328};

}  // namespace kbx
