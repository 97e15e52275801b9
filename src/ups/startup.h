#pragma once

#include <string>

#include "ups/xcp.h"

namespace kbx {

inline constexpr const char* kProgramTitle = "KBX Configurator";
inline constexpr int kDefaultBaud = 19200;
inline constexpr int kDefaultPort = 1;

// What start-up found of the port.
struct StartUpOutcome {
  PortOutcome portFailure;  // why the port did not open; nothing when it did

  // Whether the failure is worth the start-up box: every one but a port that
  // is merely not there to open, which is on the board already.
  bool WantsBox() const;
  // The start-up box's line, "8002 Start: Invalid port number 1"; "" when no
  // box is wanted.
  std::string BoxLine() const;
  // Why the port did not open and what to do, in words, where the port said.
  const PortFailure& Why() const;
};

// Start-up: the module state to its initial values, then the port opened with
// the given settings (the defaults unless a front end was told otherwise).
StartUpOutcome StartUp(Xcp& xcp, int baud = kDefaultBaud, int port = kDefaultPort);

}  // namespace kbx
