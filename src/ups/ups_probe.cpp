// One port asked who is on it, the way connecting starts, and nothing more.
#include "ups/ups_probe.h"

#include <algorithm>

#include "link/error_trap.h"
#include "ups/startup.h"

namespace kbx {

namespace {

// Ends a probe at the pause where a stop was asked for. Not a RunTimeError:
// no trap of the protocol takes it.
struct ProbeStopped {};

// The probe's pauses, cut into short ones so that a stop request is seen
// within one of them; once the probe winds up they run whole again.
class StoppableClock : public Clock {
 public:
  StoppableClock(Clock& clock, std::function<bool()> stopRequested)
      : clock_(clock), stopRequested_(std::move(stopRequested)) {}

  double TimeOfDay() override { return clock_.TimeOfDay(); }
  CalendarTime Calendar() override { return clock_.Calendar(); }
  void Sleep(int milliseconds) override {
    if (!stoppable_ || !stopRequested_) {
      clock_.Sleep(milliseconds);
      return;
    }
    for (int left = milliseconds;;) {
      if (stopRequested_()) throw ProbeStopped{};
      if (left <= 0) return;
      const int slice = std::min(left, kSliceMs);
      clock_.Sleep(slice);
      left -= slice;
    }
  }
  void WindUp() { stoppable_ = false; }

 private:
  static constexpr int kSliceMs = 50;
  Clock& clock_;
  std::function<bool()> stopRequested_;
  bool stoppable_ = true;
};

// Counts what the line brought, to tell silence from an answer that was no UPS.
class ListeningPort : public SerialPort {
 public:
  explicit ListeningPort(SerialPort& port) : port_(port) {}

  void Open(const PortRequest& request) override { port_.Open(request); }
  void Close() override { port_.Close(); }
  bool IsOpen() const override { return port_.IsOpen(); }
  int BytesWaiting() override { return port_.BytesWaiting(); }
  Bytes ReadAll() override {
    Bytes bytes = port_.ReadAll();
    received_ += bytes.size();
    return bytes;
  }
  void Write(const Bytes& bytes) override { port_.Write(bytes); }
  int PendingOutput() override { return port_.PendingOutput(); }
  void DiscardInput() override {
    if (port_.IsOpen()) received_ += static_cast<std::size_t>(std::max(0, port_.BytesWaiting()));
    port_.DiscardInput();
  }
  PortDescription Describe() const override { return port_.Describe(); }

  std::size_t Received() const { return received_; }

 private:
  SerialPort& port_;
  std::size_t received_ = 0;
};

// Keeps the failure lines; the rest of the board is a session's business.
class ProbeHost : public XcpHost {
 public:
  void AddToBoard(const BoardLine& line) override {
    if (line.failure && firstFailure_.empty()) firstFailure_ = line.text;
  }
  void BoardClear() override {}
  void Repaint() override {}
  void UpdateStatus(int) override {}
  void PortStateChanged(const PortState&) override {}

  const std::string& FirstFailure() const { return firstFailure_; }

 private:
  std::string firstFailure_;
};

ProbeFinding NotOpened(const PortFailure& failure, const std::string& boardLine) {
  ProbeFinding finding;
  if (failure.number == kErrPortAlreadyOpen) {
    finding.kind = ProbeFinding::Kind::kHeld;
    finding.holderPid = failure.holderPid;
    finding.holderProgram = failure.holderProgram;
    finding.why = failure.reason;
    return finding;
  }
  finding.kind = ProbeFinding::Kind::kCannotOpen;
  finding.why = !failure.reason.empty() ? failure.reason : boardLine;
  return finding;
}

}  // namespace

std::string ProbeFinding::Text() const {
  switch (kind) {
    case Kind::kUps: {
      std::string text = "UPS type " + std::to_string(unit.type);
      std::string versions;
      for (std::size_t k = 0; k < unit.versions.size(); ++k) {
        if (!unit.versions[k].Present()) continue;
        versions += (versions.empty() ? "" : ", ") + std::string("processor ") + std::to_string(k + 1) +
                    ": " + unit.versions[k].Text();
      }
      return versions.empty() ? text : text + " (" + versions + ")";
    }
    case Kind::kNoAnswer:
      return "no answer";
    case Kind::kHeld:
      if (holderPid <= 0) return "held by another program";
      return "held by PID " + std::to_string(holderPid) +
             (holderProgram.empty() ? "" : " (" + holderProgram + ")");
    case Kind::kNotUps:
      return "not a UPS: " + why;
    case Kind::kCannotOpen:
      return "cannot be opened: " + why;
    case Kind::kStopped:
      return "stopped";
  }
  return "";
}

ProbeFinding ProbeForUps(SerialPort& port, Clock& clock, int number, const ProbeSettings& settings) {
  StoppableClock pauses(clock, settings.stopRequested);
  ListeningPort line(port);
  ProbeHost host;
  Xcp xcp(line, pauses, host);
  const StartUpOutcome started = StartUp(xcp, settings.baudRate, number);
  if (!line.IsOpen()) {
    xcp.ClosePort();
    return NotOpened(started.Why(), host.FirstFailure());
  }
  if (settings.accessCode) xcp.SetAccessCode(*settings.accessCode);

  ProbeFinding finding;
  bool stopped = false;
  std::optional<RunTimeError> failure;
  try {
    failure = ErrorOf([&] { finding.unit = xcp.IdentifyUnit(); });
  } catch (const ProbeStopped&) {
    stopped = true;
  }
  // Whatever was learned, the unit is told that the talk is over.
  pauses.WindUp();
  xcp.SendDisconnect();
  xcp.ClosePort();

  if (stopped) {
    finding.kind = ProbeFinding::Kind::kStopped;
  } else if (failure) {
    finding.kind = ProbeFinding::Kind::kNotUps;
    finding.why = ErrorText(*failure);
  } else if (finding.unit.type > 1) {
    finding.kind = ProbeFinding::Kind::kUps;
  } else if (line.Received() == 0) {
    finding.kind = ProbeFinding::Kind::kNoAnswer;
  } else {
    finding.kind = ProbeFinding::Kind::kNotUps;
    if (!host.FirstFailure().empty()) {
      finding.why = host.FirstFailure();
    } else if (finding.unit.type == 1) {
      finding.why = "it gives type code 1";
    } else if (xcp.TypeBlockLength() != 0) {
      finding.why = "no type block";
    } else {
      finding.why = "no identification in the " + std::to_string(line.Received()) + " bytes it sent";
    }
  }
  return finding;
}

}  // namespace kbx
