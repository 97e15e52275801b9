#pragma once

#include <ostream>
#include <string>

#include "link/xcp_host.h"

namespace kbx {

// The status board of the command line: every line goes to the output as it
// is added; clearing the board prints nothing, and the port's state shows
// only in what the commands print.
class ConsoleHost : public XcpHost {
 public:
  explicit ConsoleHost(std::ostream& out) : out_(out) {}

  void AddToBoard(const std::string& message) override { out_ << message << '\n' << std::flush; }
  void BoardClear() override {}
  void Repaint() override {}
  void UpdateStatus(int) override {}
  void PortStateChanged(const PortState&) override {}

 private:
  std::ostream& out_;
};

}  // namespace kbx
