#pragma once

#include <string>

#include "platform/byte_line.h"
#include "platform/run_time_error.h"

namespace kbx {

// A pseudo-terminal pair for the simulated UPS. The simulator reads and writes
// the master side; the program under test opens SlavePath() as its serial port.
// Both sides are in raw mode (no echo, no line editing, no translation).
//
// The object keeps a descriptor of the slave side open itself, so that the
// program may close and reopen the slave path as often as it likes without the
// master side seeing a hang-up. Failures of the operating system are thrown as
// std::system_error.
class PseudoTerminal : public ByteLine {
 public:
  PseudoTerminal();
  ~PseudoTerminal() override;
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // The path of the slave device, e.g. "/dev/pts/7".
  std::string SlavePath() const { return slavePath_; }

  // Waits up to timeoutMs for input on the master side and returns what has
  // arrived; empty on time-out, when nobody holds the slave side open, or
  // after Close().
  Bytes Read(int timeoutMs) override;

  // Writes all bytes to the master side. Gives up, dropping the rest, when the
  // other side has not taken anything for timeoutMs (a full input queue of a
  // program that never reads). Returns the number of bytes written.
  std::size_t Write(const Bytes& bytes, int timeoutMs = 1000) override;

  // The line settings the program under test has put on the terminal, e.g.
  // "19200,N,8,1" (as a UART would run the line); "" when closed.
  std::string LineInForce() const override;

  // Closes both sides: the slave path disappears, as when a device is
  // unplugged. Read() and Write() do nothing afterwards.
  void Close() override;
  bool IsOpen() const override { return master_ >= 0; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// Termination signals of the simulator executable: SIGINT, SIGTERM and SIGHUP
// (its terminal closed) all end it cleanly. BlockStopSignals() must be called
// before any thread is started; it also ignores SIGPIPE, so that a reader of
// its output that goes away does not kill it. WaitForStopSignal() then blocks
// the calling thread until a stop signal arrives and returns its number.
void BlockStopSignals();
int WaitForStopSignal();

}  // namespace kbx
