#pragma once

#include <string>
#include <vector>

#include "link/xcp_host.h"

namespace kbx::test {

// The window as the tests see it: every board line and the port's state.
class RecordingHost : public XcpHost {
 public:
  std::vector<std::string> board;
  int clears = 0;
  int repaints = 0;
  std::vector<int> statuses;
  PortState portState;  // as told last

  void AddToBoard(const std::string& message) override { board.push_back(message); }
  void BoardClear() override {
    board.clear();
    ++clears;
    ++repaints;
  }
  void Repaint() override { ++repaints; }
  void UpdateStatus(int status) override { statuses.push_back(status); }
  void PortStateChanged(const PortState& state) override { portState = state; }
};

}  // namespace kbx::test
