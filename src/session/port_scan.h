#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/port_map.h"
#include "session/session_options.h"
#include "ups/ups_probe.h"

namespace kbx {

class Clock;

// A port a scan looks at: its COM number (0 when none names it) and device.
struct ScanTarget {
  int comNumber = 0;
  std::string device;
};

struct ScanLine {
  ScanTarget target;
  ProbeFinding finding;
};

// The ports of the machine and of the port map's mappings, as PortMap::ListPorts
// gives them: each device once, the numbered ones first.
std::vector<ScanTarget> ScanTargets(const PortMap& ports);

// Runs `probe` on every target at once, each on a thread of its own, and
// returns the findings in the targets' order once the last one is in. An
// exception a probe throws is thrown here, after every thread has ended.
std::vector<ScanLine> ScanSideBySide(const std::vector<ScanTarget>& targets,
                                     const std::function<ProbeFinding(const ScanTarget&)>& probe);

// kbx scan: every target of `ports` (the session's port map) probed side by
// side, each on a serial port of its own, locked while it is probed, at the
// session's baud rate and with its access code. A stop signal ends every
// probe at its next pause; each port still gets the disconnect request and
// is let go. `clock` is used by every thread at once: the machine's clock is.
std::vector<ScanLine> ScanPorts(const PortMap& ports, const SessionOptions& options, Clock& clock);

}  // namespace kbx
