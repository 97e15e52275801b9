// The port: settings, opening and draining, and what the window is told of it.
#include "link/board_lines.h"
#include "link/error_trap.h"
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

// The board line of a failed open, for the numbers the program knows by name.
const FailureText* OpenFailureLine(int number) {
  switch (number) {
    case kErrDeviceNotOpen:
      return &kUnableToOpenPort;
    case kErrPortAlreadyOpen:
      return &kPortAlreadyOpen;
    case kErrInvalidPortNumber:
      return &kInvalidPortNumber;
    case kErrCommState:
      return &kInvalidCommParameters;
    case kErrInvalidProperty:
      return &kInvalidBaudRate;
    default:
      return nullptr;
  }
}

}  // namespace

std::string SettingsLabel(const PortState& state) {
  if (!state.lineSettings) return "";
  return " COM" + std::to_string(state.commPort) + "," + FormatLineSettings(*state.lineSettings);
}

LineSettings PortSettings::Line() const {
  return {baudRate, parity, dataBits, stopBits * 2};
}

XcpLink::XcpLink(SerialPort& port, Clock& clock, XcpHost& host) : port_(port), clock_(clock), host_(host) {}

void XcpLink::InitState() {
  rxTimeoutSeconds_ = 6;
  linkUp_ = false;
  txFrame_.clear();
}

PortOutcome XcpLink::ConfigurePort(const PortSettings& settings) {
  if (settings.baudRate != 0) settings_.baudRate = settings.baudRate;
  if (settings.parity != 0) settings_.parity = settings.parity;
  if (settings.dataBits != 0) settings_.dataBits = settings.dataBits;
  if (settings.stopBits != 0) settings_.stopBits = settings.stopBits;
  if (settings.comPort != 0) settings_.comPort = settings.comPort;
  return OpenPort();
}

PortOutcome XcpLink::ChangePort(int baudRate, double comNumber) {
  linkUp_ = false;
  settings_.baudRate = baudRate;
  // A number beyond an Integer leaves the stored one; the open says so.
  const std::optional<RunTimeError> comPortFailure =
      ErrorOf([&] { settings_.comPort = ToInteger(comNumber); });
  return OpenPort(comPortFailure);
}

PortOutcome XcpLink::OpenPort() {
  return OpenPort(std::nullopt);
}

PortOutcome XcpLink::OpenPort(const std::optional<RunTimeError>& comPortFailure) {
  // Every step is tried, whatever failed before it; the last failure decides.
  // An error from before this call is none of its business.
  std::optional<RunTimeError> failure;
  auto step = [&failure](auto&& action) {
    if (auto error = ErrorOf(action)) failure = std::move(error);
  };
  step([&] { FlushPort(); });
  step([&] {
    if (port_.IsOpen()) port_.Close();
  });
  // The port's properties, in their order; the port takes them when it opens.
  PortRequest request;
  request.rtsEnable = true;
  request.dtrEnable = true;
  request.handshaking = 0;
  request.inBufferSize = kRxBufferSize;
  request.outBufferSize = kTxBufferSize;
  step([&] { port_.DiscardInput(); });  // InBufferCount 0
  request.settings = settings_.Line();
  // InputMode binary, InputLen 0 and no notifications (SThreshold and
  // RThreshold 0): the port reads that way, all waiting bytes, polled.
  request.commPort = port_.Describe().commPort;  // a number that is no Integer keeps the one in force
  step([&] {
    if (comPortFailure) throw *comPortFailure;
    request.commPort = settings_.comPort;
  });
  step([&] { port_.Open(request); });  // PortOpen True
  // The label shows what the port has in force, also when it failed.
  step([&] { ReadPortInForce(); });

  if (failure) {
    ClosePort();
    linkUp_ = false;
  }
  portState_.open = !failure;
  portState_.whyNotOpen = failure ? failure->why() : PortFailure{};
  portState_.linkUp = linkUp_;
  host_.PortStateChanged(portState_);
  host_.Repaint();
  if (!failure) return std::nullopt;

  const FailureText* line = OpenFailureLine(failure->number());
  if (line == nullptr) {
    host_.AddToBoard(FailureLine(ErrorText(*failure)));
    return std::nullopt;
  }
  host_.AddToBoard(*line);
  return PortError{failure->number(), failure->description(), failure->why()};
}

void XcpLink::FlushPort() {
  // Wait, without spinning and for a bounded time, until the written bytes are out.
  for (int waited = 0; port_.PendingOutput() > 0 && waited < kDrainLimitMs; waited += kDrainPollMs) {
    Sleep(kDrainPollMs);
  }
  for (int round = 0; round < kDiscardRounds && port_.BytesWaiting() > 0; ++round) port_.ReadAll();
}

void XcpLink::ClosePort() {
  // Closing a closed port does nothing; a port that will not close is left to the system.
  ErrorOf([&] { port_.Close(); });
}

void XcpLink::ReadPortInForce() {
  const PortDescription port = port_.Describe();
  portState_.commPort = port.commPort;
  portState_.lineSettings = port.settings;
}

void XcpLink::RefreshSettingsLabel() {
  ReadPortInForce();
  host_.PortStateChanged(portState_);
}

}  // namespace kbx
