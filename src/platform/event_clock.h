#pragma once

#include "platform/clock.h"

namespace kbx {

// The clock of the desktop program: its waits keep the windows painting.
// While the program sleeps, the event loop runs for everything but user
// input, which waits until the command is over; nothing spins meanwhile.
class EventClock : public SystemClock {
 public:
  void Sleep(int milliseconds) override;
};

}  // namespace kbx
