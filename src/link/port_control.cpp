// The port: settings, opening and draining, and the window's port indicators.
#include <functional>

#include "link/numbers.h"
#include "link/xcp_link.h"

namespace kbx {

namespace {
// The transmit buffer drains in well under this at any baud rate the port
// offers; a port that never drains must not hold the program.
constexpr int kDrainPollMs = 5;
constexpr int kDrainLimitMs = 2000;
// A line that never falls quiet must not hold the drain of the receive side
// either: after this many reads the rest is left to the next exchange.
constexpr int kDiscardRounds = 16;
}  // namespace

XcpLink::XcpLink(SerialControl& port, Clock& clock, XcpHost& host)
    : port_(port), clock_(clock), host_(host) {}

bool XcpLink::ErrorCheck(int tag) {
  if (!ErrorPending()) return false;
  std::string line = std::to_string(Err.number) + " " + Err.description;
  if (tag != 0) line += " " + std::to_string(tag);
  AddToBoard(line);
  ClearError();
  return true;
}

std::string XcpLink::SettingsString() const {
  return sBaudRate + "," + sParity + "," + std::to_string(iDataBits) + "," + std::to_string(iStopBits);
}

void XcpLink::ConfigurePort(const std::string& baud, const std::string& parity, std::int16_t dataBits,
                            std::int16_t stopBits, const std::string& port) {
  if (!baud.empty()) sBaudRate = baud;
  if (!parity.empty()) sParity = parity;
  if (dataBits != 0) iDataBits = dataBits;
  if (stopBits != 0) iStopBits = stopBits;
  if (!port.empty()) sComPort = port;
  OpenPort();
}

void XcpLink::OpenPort() {
  // Every step is tried; a failing one replaces the last error and the
  // sequence goes on. Only the end looks at the last error.
  auto step = [this](const std::function<void()>& action) {
    try {
      action();
    } catch (const RunTimeError& e) {
      RecordError(e);
    }
  };
  SerialControl& port = port_;
  step([&] { FlushPort(); });
  step([&] {
    if (port.PortOpen()) port.SetPortOpen(false);
  });
  step([&] { port.SetRTSEnable(true); });
  step([&] { port.SetDTREnable(true); });
  step([&] { port.SetHandshaking(0); });
  step([&] { port.SetInBufferSize(kRxBufferSize); });
  step([&] { port.SetOutBufferSize(kTxBufferSize); });
  step([&] { port.SetInBufferCount(0); });
  step([&] { port.SetSettings(SettingsString()); });
  step([&] { port.SetInputMode(1); });
  step([&] { port.SetInputLen(0); });
  step([&] { port.SetSThreshold(0); });
  step([&] { port.SetRThreshold(0); });
  step([&] { port.SetCommPort(IntegerFromText(sComPort)); });
  step([&] { port.SetPortOpen(true); });
  step([&] {
    host_.SetSettingsStrikethru(false);
    host_.SetSettingsCaption(" COM" + std::to_string(port.CommPort()) + "," + port.Settings());
  });
  step([&] {
    host_.ShowLinkLamp(LinkUp);
    host_.SetConnectCaption(LinkUp ? "Disconnect" : "Connect");
  });
  step([&] { host_.Repaint(); });

  if (!ErrorPending()) return;
  try {
    port.SetPortOpen(false);
  } catch (const RunTimeError&) {
    // closing is best effort; the port is reported as failed below anyway
  }
  host_.SetSettingsStrikethru(true);
  LinkUp = false;
  switch (Err.number) {
    case kErrDeviceNotOpen:
      AddToBoard("Unable to open port");
      break;
    case kErrPortAlreadyOpen:
      AddToBoard("Port already open");
      break;
    case kErrInvalidPortNumber:
      AddToBoard("Invalid port number");
      break;
    case kErrCommState:
      AddToBoard("Invalid communications parameters");
      break;
    case kErrInvalidProperty:
      AddToBoard("Invalid Baud Rate");
      break;
    default:
      AddToBoard(std::to_string(Err.number) + " " + Err.description);
      ClearError();
      break;
  }
}

void XcpLink::FlushPort() {
  // Wait, without spinning and for a bounded time, until the written bytes are out.
  for (int waited = 0; port_.OutBufferCount() > 0 && waited < kDrainLimitMs; waited += kDrainPollMs) {
    Sleep(kDrainPollMs);
  }
  for (int round = 0; round < kDiscardRounds && port_.InBufferCount() > 0; ++round) {
    RxChunk = port_.Input();
  }
  RxChunk.clear();
  ResponseBlock.assign(1, 0);
}

}  // namespace kbx
