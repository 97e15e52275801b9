#include "cli/scan_report.h"

#include <algorithm>

#include "cli/json_report.h"

namespace kbx {

namespace {

std::string ComText(int number) {
  return number > 0 ? "COM" + std::to_string(number) : "-";
}

const char* FoundName(ProbeFinding::Kind kind) {
  switch (kind) {
    case ProbeFinding::Kind::kUps:
      return "ups";
    case ProbeFinding::Kind::kNoAnswer:
      return "no answer";
    case ProbeFinding::Kind::kHeld:
      return "held";
    case ProbeFinding::Kind::kNotUps:
      return "not a UPS";
    case ProbeFinding::Kind::kCannotOpen:
      return "cannot be opened";
    case ProbeFinding::Kind::kStopped:
      return "stopped";
  }
  return "";
}

std::string Padded(std::string text, std::size_t width) {
  text.resize(std::max(text.size(), width), ' ');
  return text;
}

}  // namespace

void WriteScanLines(const std::vector<ScanLine>& lines, std::ostream& out) {
  std::size_t deviceWidth = 0;
  for (const ScanLine& line : lines) deviceWidth = std::max(deviceWidth, line.target.device.size());
  for (const ScanLine& line : lines) {
    out << Padded(ComText(line.target.comNumber), 6) << " " << Padded(line.target.device, deviceWidth) << "  "
        << line.finding.Text() << '\n';
  }
}

void WriteScanJson(const std::vector<ScanLine>& lines, std::ostream& out) {
  out << '[';
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const ScanTarget& target = lines[i].target;
    const ProbeFinding& finding = lines[i].finding;
    std::string object = "{\"com\":" + (target.comNumber > 0 ? std::to_string(target.comNumber) : "null") +
                         ",\"device\":" + JsonString(target.device) +
                         ",\"found\":" + JsonString(FoundName(finding.kind)) +
                         ",\"text\":" + JsonString(finding.Text());
    if (finding.kind == ProbeFinding::Kind::kUps) {
      object += ",\"type\":" + std::to_string(finding.unit.type) + ",\"versions\":{";
      bool first = true;
      for (std::size_t k = 0; k < finding.unit.versions.size(); ++k) {
        if (!finding.unit.versions[k].Present()) continue;
        object += (first ? "" : ",") + JsonString(std::to_string(k + 1)) + ":" +
                  JsonString(finding.unit.versions[k].Text());
        first = false;
      }
      object += "}";
    }
    if (finding.kind == ProbeFinding::Kind::kHeld && finding.holderPid > 0) {
      object += ",\"pid\":" + std::to_string(finding.holderPid);
      if (!finding.holderProgram.empty()) object += ",\"program\":" + JsonString(finding.holderProgram);
    }
    if (!finding.why.empty()) object += ",\"why\":" + JsonString(finding.why);
    out << (i ? "," : "") << object << '}';
  }
  out << "]\n";
}

bool FoundUps(const std::vector<ScanLine>& lines) {
  return std::any_of(lines.begin(), lines.end(),
                     [](const ScanLine& line) { return line.finding.kind == ProbeFinding::Kind::kUps; });
}

}  // namespace kbx
