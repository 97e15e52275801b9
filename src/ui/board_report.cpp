#include "ui/board_report.h"

namespace kbx {

std::string BoardReport(const ReportFacts& facts, const std::vector<std::string>& lines) {
  std::string report = "KBX Configurator report\n";
  report += "Date and time: " + facts.dateTime + "\n";
  report += "Program version: " + facts.programVersion + "\n";
  report += "Port: " + facts.portSettings + (facts.portOpen ? "" : " (not open)") + "\n";
  if (!facts.device.empty()) {
    report += "Device: " + facts.device + (facts.simulated ? " (simulated UPS)" : "") + "\n";
  }
  for (const std::string& rejected : facts.rejected) report += rejected + "\n";
  report += std::string("Link: ") + (facts.linkUp ? "up" : "down") + "\n";
  if (facts.upsType > 0) {
    report += "UPS type: " + std::to_string(facts.upsType) + "\n";
    for (std::size_t c = 0; c < facts.processorVersions.size(); ++c) {
      if (facts.processorVersions[c].empty()) continue;
      report += "Processor " + std::to_string(c + 1) + " version: " + facts.processorVersions[c] + "\n";
    }
  } else {
    report += "UPS type: none identified\n";
  }
  report += "\nStatus board:\n";
  for (const std::string& line : lines) report += line + "\n";
  return report;
}

}  // namespace kbx
