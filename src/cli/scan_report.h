#pragma once

#include <ostream>
#include <vector>

#include "session/port_scan.h"

namespace kbx {

// One line per port: its COM number ("-" for none), its device and what was
// found there, in columns.
void WriteScanLines(const std::vector<ScanLine>& lines, std::ostream& out);

// The same as one JSON array of objects on one line: "com" (null for none),
// "device", "found" ("ups", "no answer", "held", "not a UPS", "cannot be
// opened", "stopped") and "text" (the line's words), with "type" and
// "versions" for a UPS, "pid" and "program" for a held port when known, and
// "why" where the port says why.
void WriteScanJson(const std::vector<ScanLine>& lines, std::ostream& out);

// Whether a scan found a UPS on any port.
bool FoundUps(const std::vector<ScanLine>& lines);

}  // namespace kbx
