#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "platform/clock.h"
#include "platform/serial_control.h"

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
// The access code never reaches the trace: in a written authorization request
// (data starting with 0xCF) the bytes after the command byte and the checksum,
// which would give away the sum of the code, are shown as "**".
class TracingSerialControl : public SerialControl {
 public:
  // The device path of a port number, for the open line; may be empty.
  using DeviceName = std::function<std::string(int number)>;

  // `port`, `clock` and `out` must outlive this object. The trace begins now.
  TracingSerialControl(SerialControl& port, Clock& clock, std::ostream& out, DeviceName device = {});

  void SetCommPort(int number) override;
  int CommPort() const override { return port_.CommPort(); }
  void SetSettings(const std::string& settings) override;
  std::string Settings() const override { return port_.Settings(); }
  bool PortOpen() const override { return port_.PortOpen(); }
  void SetPortOpen(bool open) override;
  void SetRTSEnable(bool on) override { port_.SetRTSEnable(on); }
  void SetDTREnable(bool on) override { port_.SetDTREnable(on); }
  void SetHandshaking(long mode) override { port_.SetHandshaking(mode); }
  void SetInBufferSize(int size) override { port_.SetInBufferSize(size); }
  void SetOutBufferSize(int size) override { port_.SetOutBufferSize(size); }
  int InBufferCount() override { return port_.InBufferCount(); }
  void SetInBufferCount(int count) override { port_.SetInBufferCount(count); }
  int OutBufferCount() override { return port_.OutBufferCount(); }
  void SetInputMode(long mode) override { port_.SetInputMode(mode); }
  void SetInputLen(int len) override { port_.SetInputLen(len); }
  void SetSThreshold(int threshold) override { port_.SetSThreshold(threshold); }
  void SetRThreshold(int threshold) override { port_.SetRThreshold(threshold); }
  Bytes Input() override;
  void Output(const Bytes& bytes) override;

 private:
  // One line: the time since the start, then the text; flushed.
  void Line(const std::string& text);
  // "COM1 (/dev/ttyS0)".
  std::string PortName() const;

  SerialControl& port_;
  Clock& clock_;
  std::ostream& out_;
  DeviceName device_;
  double last_;         // time of day of the last line, seconds
  double elapsed_ = 0;  // seconds since the start, across midnight
};

}  // namespace kbx
