#pragma once

#include <string>
#include <vector>

namespace kbx {

// What a saved report says besides the board's lines.
struct ReportFacts {
  std::string dateTime;        // when it was saved, e.g. "2026-12-06 16:40:12 +01:00"
  std::string programVersion;  // "1.2.1"
  std::string portSettings;    // as the settings label shows them: "COM1,19200,N,8,1"
  bool portOpen = false;
  std::string device;      // the device behind the COM number; "" when unknown
  bool simulated = false;  // the device is the simulated UPS
  bool linkUp = false;     // a UPS is connected
  std::vector<std::string>
      rejected;     // each failed Apply of the Port dialog: "Baud 12345 rejected: Invalid Baud Rate"
  int upsType = 0;  // 0 when no UPS has been identified
  std::vector<std::string> processorVersions;  // texts of processors 1 to 5; "" for one not reported
};

// The text of a report: the facts, one to a line, then every board line in
// order, each ending in a newline. Numbers never follow the user's locale.
std::string BoardReport(const ReportFacts& facts, const std::vector<std::string>& lines);

}  // namespace kbx
