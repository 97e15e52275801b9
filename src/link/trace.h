#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "platform/stop_signals.h"  // the signals it notes

namespace kbx {

// A serial port that passes every operation on to another one unchanged and
// writes a trace of the line: each frame written and each chunk read, with the
// time since the trace began in milliseconds, the bytes in hex and what they
// are (the response frames with their block, sequence, length and checksum,
// acknowledgement statuses spelled out, garbage and cut-off frames named), and
// the port being opened and closed with its settings. Failing port operations
// are traced and passed on as they are. Every line is flushed at once, so the
// trace is whole up to the moment a program stops.
//
// It starts with the local date, time and time zone, notes a request that got
// no answer at all (when the next request is written, the port closed or the
// trace finished), notes a stop signal at the first line after it arrived,
// and ends with a closing line.
//
// The access code never reaches the trace: in a written authorization request
// (data starting with 0xCF) the bytes after the command byte and the checksum,
// which would give away the sum of the code, are shown as "**".
class TracingPort : public SerialPort {
 public:
  // The device path of a port number, for the open line; may be empty.
  using DeviceName = std::function<std::string(int number)>;

  // `port`, `clock` and `out` must outlive this object. The trace begins now.
  TracingPort(SerialPort& port, Clock& clock, std::ostream& out, DeviceName device = {});
  // Finishes the trace if Finish() was not called.
  ~TracingPort() override;
  TracingPort(const TracingPort&) = delete;
  TracingPort& operator=(const TracingPort&) = delete;

  // Writes what is still to be said and the closing line; nothing after it.
  void Finish();

  void Open(const PortRequest& request) override;
  void Close() override;
  bool IsOpen() const override { return port_.IsOpen(); }
  int BytesWaiting() override { return port_.BytesWaiting(); }
  Bytes ReadAll() override;
  void Write(const Bytes& bytes) override;
  int PendingOutput() override { return port_.PendingOutput(); }
  void DiscardInput() override { port_.DiscardInput(); }
  PortDescription Describe() const override { return port_.Describe(); }

 private:
  // One line: the time since the start, then the text; flushed.
  void Line(const std::string& text);
  // A request unanswered so far, a stop signal not yet noted.
  void NotePending();
  // "COM1 (/dev/ttyS0)".
  std::string PortName() const;

  SerialPort& port_;
  Clock& clock_;
  std::ostream& out_;
  DeviceName device_;
  double last_;         // time of day of the last line, seconds
  double elapsed_ = 0;  // seconds since the start, across midnight
  // When the last request was written, while nothing has been read since.
  std::optional<double> unansweredSince_;
  int signalsNoted_ = 0;
  bool finished_ = false;
};

}  // namespace kbx
