#pragma once

#include "platform/line_settings.h"
#include "platform/serial_port.h"

namespace kbx {

// The values of a PortRequest that a port keeps in force from one open to
// the next.
struct PortValues {
  LineSettings line;
  bool rts = false;
  bool dtr = false;
  long handshaking = 0;
  int inBufferSize = 1024;

  // Takes the request's values in its order (flow control and buffers, the
  // modem lines, the line settings); a refused one (unsupported or malformed)
  // leaves the one before in force and makes this return false.
  bool Take(const PortRequest& request);
};

}  // namespace kbx
