#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "link/xcp_host.h"

namespace kbx {

// The status board of the command line: every line goes to the output as it
// is added (unless `print` is false: --json reports them at the end), and is
// kept; clearing the board prints nothing. The port's state shows only in
// what the commands print; the settings label is kept for the report.
class ConsoleHost : public XcpHost {
 public:
  explicit ConsoleHost(std::ostream& out, bool print = true) : out_(out), print_(print) {}

  void AddToBoard(const BoardLine& line) override {
    lines_.push_back(line.text);
    if (print_) out_ << line.text << '\n' << std::flush;
  }
  void BoardClear() override {}
  void Repaint() override {}
  void UpdateStatus(int) override {}
  void PortStateChanged(const PortState& state) override { port_ = state; }

  const PortState& Port() const { return port_; }
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  std::ostream& out_;
  bool print_;
  std::vector<std::string> lines_;
  PortState port_;
};

}  // namespace kbx
