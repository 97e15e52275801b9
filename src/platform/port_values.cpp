#include "platform/port_values.h"

namespace kbx {

bool PortValues::Take(const PortRequest& request) {
  bool taken = true;
  if (request.handshaking < 0 || request.handshaking > 3 || request.inBufferSize < 1 ||
      request.outBufferSize < 1) {
    taken = false;
  } else {
    handshaking = request.handshaking;
    inBufferSize = request.inBufferSize;
    // Output is never held back: the transmit buffer's size only has to make sense.
  }
  rts = request.rtsEnable;
  dtr = request.dtrEnable;
  if (Supported(request.settings)) {
    line = request.settings;
  } else {
    taken = false;
  }
  return taken;
}

void FinishOpen(std::optional<RunTimeError> refusal, const std::function<void()>& openDevice,
                const std::function<void()>& close) {
  const PortFailure refused = refusal ? refusal->why() : PortFailure{};
  std::optional<RunTimeError> failure = std::move(refusal);
  try {
    openDevice();
  } catch (const RunTimeError& error) {
    failure = error;
  }
  if (!failure) return;
  close();
  if (failure->why().reason.empty() && !refused.reason.empty())
    throw PortOpenError(failure->number(), refused);
  throw *failure;
}

}  // namespace kbx
