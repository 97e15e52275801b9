#pragma once

#include <optional>
#include <string>

#include "link/board_lines.h"
#include "platform/line_settings.h"
#include "platform/run_time_error.h"

namespace kbx {

// What the window shows of the port: whether it is open (the settings label
// is struck through while it is not), the settings label's text, and whether
// the link to the UPS is up (the lamp, and the Connect button's caption).
struct PortState {
  bool open = false;
  // What the port has in force, also after a failed open: its number and its
  // line settings; none before the port was first opened.
  int commPort = 0;
  std::optional<LineSettings> lineSettings;
  bool linkUp = false;
  PortFailure whyNotOpen;  // while not open: why the last open failed, in words, where the port said
};

// The settings label of a port in that state: " COM1,19200,N,8,1"; "" before
// the port was first opened.
std::string SettingsLabel(const PortState& state);

// What the XCP module reaches of the window that shows its work: the status
// board, the repaint, the exchange hook and the state of the port. The main
// window, the command line and the tests each implement it.
class XcpHost {
 public:
  virtual ~XcpHost() = default;

  // Status board: a line, with whether it reports a failure.
  virtual void AddToBoard(const BoardLine& line) = 0;
  virtual void BoardClear() = 0;  // clears and repaints at once
  virtual void Repaint() = 0;
  // 1 when a request starts, 0 when it ends.
  virtual void UpdateStatus(int status) = 0;

  // The port has been opened, or failed to open, or its label was read again.
  virtual void PortStateChanged(const PortState& state) = 0;
};

}  // namespace kbx
