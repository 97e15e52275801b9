#pragma once

#include <string>
#include <vector>

#include "link/xcp_host.h"

namespace kbx::test {

// The window as the tests see it: every board line and the port's state.
class RecordingHost : public XcpHost {
 public:
  std::vector<std::string> board;
  std::vector<std::string> failures;  // the lines written as reporting a failure
  PortState portState;                // as told last

  void AddToBoard(const BoardLine& line) override {
    board.push_back(line.text);
    if (line.failure) failures.push_back(line.text);
  }
  void BoardClear() override { ClearBoard(); }
  void ClearBoard() {
    board.clear();
    failures.clear();
  }
  void Repaint() override {}
  void UpdateStatus(int) override {}
  void PortStateChanged(const PortState& state) override { portState = state; }
};

}  // namespace kbx::test
