#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/port_lock.h"
#include "ups/xcp.h"

namespace kbx {

// What one port held when it was probed for a UPS.
struct ProbeFinding {
  enum class Kind {
    kUps,         // a unit identified itself: `unit`
    kNoAnswer,    // nothing at all came back
    kHeld,        // another program holds the port: `holderPid`, `holderProgram`
    kNotUps,      // something answered, but no UPS: `why`
    kCannotOpen,  // the port could not be opened: `why`
    kStopped,     // a stop request ended the probe before it knew
  };
  Kind kind = Kind::kNoAnswer;
  UnitIdentity unit;
  std::string why;
  int holderPid = 0;  // 0: not known
  std::string holderProgram;

  // "UPS type 290 (processor 1: 1.03, processor 2: 1.03)", "no answer",
  // "held by PID 812 (minicom)", "not a UPS: ...", "cannot be opened: ...",
  // "stopped".
  std::string Text() const;
};

// How a probe talks on its port.
struct ProbeSettings {
  int baudRate = 19200;
  std::optional<AccessCode> accessCode;  // the authorization's code; the program's own without one
  // Asked at every pause: true ends the identification there. The disconnect
  // request still goes out.
  std::function<bool()> stopRequested;
};

// Looks for a UPS on COM `number` of `port`: opens it as start-up does
// (19200,N,8,1 unless the settings say another rate), sends what connecting
// sends before it decides on the type (Xcp::IdentifyUnit: the authorization,
// the identification and the type block requests), then the disconnect
// request, and closes the port. Never the switch-over, the link start or a
// set command. `clock` times the pauses as for a session.
ProbeFinding ProbeForUps(SerialPort& port, Clock& clock, int number, const ProbeSettings& settings);

}  // namespace kbx
