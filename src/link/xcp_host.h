#pragma once

#include <string>

namespace kbx {

// What the XCP module reaches of the window that shows its work: the status
// board, the repaint, the exchange hook and the port indicators. The main
// window, the command line and the tests each implement it.
class XcpHost {
 public:
  virtual ~XcpHost() = default;

  // Status board.
  virtual void AddToBoard(const std::string& message) = 0;
  virtual void BoardClear() = 0;  // clears and repaints at once
  virtual void Repaint() = 0;
  // 1 when a request starts, 0 when it ends.
  virtual void UpdateStatus(int status) = 0;

  // Port indicators.
  virtual void SetSettingsCaption(const std::string& caption) = 0;
  virtual void SetSettingsStrikethru(bool struck) = 0;
  virtual bool SettingsStrikethru() const = 0;
  // Brings the green lamp (true) or the red lamp (false) to the front.
  virtual void ShowLinkLamp(bool connected) = 0;
  virtual void SetConnectCaption(const std::string& caption) = 0;
};

}  // namespace kbx
