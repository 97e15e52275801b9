#pragma once

#include <functional>
#include <optional>

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

// The end of a port's Open, once the request's values are taken (`refusal`:
// the last of them refused, if one was): `openDevice` opens with what is in
// force. The failure last in that order is thrown after `close`; a failure
// without words keeps the reason of the refusal before it, since the port
// opened on a refused number is the one before and the technician still has
// to be told why.
void FinishOpen(std::optional<RunTimeError> refusal, const std::function<void()>& openDevice,
                const std::function<void()>& close);

}  // namespace kbx
