#pragma once

#include <cstddef>
#include <string>

#include "platform/run_time_error.h"

namespace kbx {

// The UPS's end of the line to the program: what the simulated UPS reads the
// requests from and writes its answers to (a pseudo-terminal, or a serial
// server's port on the network).
class ByteLine {
 public:
  virtual ~ByteLine() = default;
  // Waits up to timeoutMs for input and returns what has arrived; empty on
  // time-out, when nobody is at the other end, or after Close().
  virtual Bytes Read(int timeoutMs) = 0;
  // Writes all bytes, giving up (dropping the rest) when the other end has
  // taken nothing for timeoutMs. Returns the number of bytes written.
  virtual std::size_t Write(const Bytes& bytes, int timeoutMs = 1000) = 0;
  // The line settings the program has put on the line, e.g. "19200,N,8,1";
  // "" where the line has none to tell.
  virtual std::string LineInForce() const = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
};

}  // namespace kbx
