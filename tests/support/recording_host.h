#pragma once

#include <string>
#include <vector>

#include "link/xcp_host.h"

namespace kbx::test {

// The window as the tests see it: every board line and every indicator.
class RecordingHost : public XcpHost {
 public:
  std::vector<std::string> board;
  int clears = 0;
  int repaints = 0;
  std::vector<int> statuses;
  std::string settingsCaption;
  bool strikethru = false;
  bool greenLamp = false;
  std::string connectCaption = "Connect";

  void AddToBoard(const std::string& message) override { board.push_back(message); }
  void BoardClear() override {
    board.clear();
    ++clears;
    ++repaints;
  }
  void Repaint() override { ++repaints; }
  void UpdateStatus(int status) override { statuses.push_back(status); }
  void SetSettingsCaption(const std::string& caption) override { settingsCaption = caption; }
  void SetSettingsStrikethru(bool struck) override { strikethru = struck; }
  bool SettingsStrikethru() const override { return strikethru; }
  void ShowLinkLamp(bool connected) override { greenLamp = connected; }
  void SetConnectCaption(const std::string& caption) override { connectCaption = caption; }
};

}  // namespace kbx::test
