#pragma once

#include <ostream>
#include <string>

#include "link/xcp_host.h"

namespace kbx {

// The status board of the command line: every line goes to the output as it
// is added; clearing the board prints nothing. The port indicators are kept
// only so that the commands can ask for them.
class ConsoleHost : public XcpHost {
 public:
  explicit ConsoleHost(std::ostream& out) : out_(out) {}

  void AddToBoard(const std::string& message) override { out_ << message << '\n' << std::flush; }
  void BoardClear() override {}
  void Repaint() override {}
  void UpdateStatus(int) override {}
  void SetSettingsCaption(const std::string& caption) override { caption_ = caption; }
  void SetSettingsStrikethru(bool struck) override { struck_ = struck; }
  bool SettingsStrikethru() const override { return struck_; }
  void ShowLinkLamp(bool) override {}
  void SetConnectCaption(const std::string&) override {}

  const std::string& SettingsCaption() const { return caption_; }

 private:
  std::ostream& out_;
  std::string caption_;
  bool struck_ = true;
};

}  // namespace kbx
