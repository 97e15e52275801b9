#pragma once

#include <string>

#include "platform/run_time_error.h"

namespace kbx {

// The program's one serial port, with the operations the program uses and
// nothing else. Every failing operation throws RunTimeError with the serial
// control's error number:
//   8002 a number that names no port (SetCommPort, or SetPortOpen(true))
//   8005 the port is already open (SetPortOpen(true), SetCommPort while open)
//   8012 the device cannot be opened for another reason
//   8015 the line settings cannot be applied when opening
//   380  an unsupported or malformed settings string (previous one stays)
class SerialControl {
 public:
  virtual ~SerialControl() = default;

  virtual void SetCommPort(int number) = 0;
  virtual int CommPort() const = 0;

  // "baud,parity,databits,stopbits", e.g. "19200,N,8,1".
  virtual void SetSettings(const std::string& settings) = 0;
  virtual std::string Settings() const = 0;

  virtual bool PortOpen() const = 0;
  // true opens with the current number and settings; false closes (closing a
  // closed port does nothing).
  virtual void SetPortOpen(bool open) = 0;

  virtual void SetRTSEnable(bool on) = 0;
  virtual void SetDTREnable(bool on) = 0;
  virtual void SetHandshaking(long mode) = 0;
  virtual void SetInBufferSize(int size) = 0;
  virtual void SetOutBufferSize(int size) = 0;

  // Received bytes waiting; never more than the receive buffer size (1024):
  // bytes beyond it are lost as in a hardware overrun. 0 while closed.
  virtual int InBufferCount() = 0;
  // 0 discards everything received and not yet read.
  virtual void SetInBufferCount(int count) = 0;
  // Written bytes not yet transmitted; 0 while closed.
  virtual int OutBufferCount() = 0;

  virtual void SetInputMode(long mode) = 0;
  virtual void SetInputLen(int len) = 0;
  virtual void SetSThreshold(int threshold) = 0;
  virtual void SetRThreshold(int threshold) = 0;

  // All waiting bytes, removed from the receive buffer.
  virtual Bytes Input() = 0;
  // Queues the bytes for transmission and returns at once; empty queues nothing.
  virtual void Output(const Bytes& bytes) = 0;
};

}  // namespace kbx
