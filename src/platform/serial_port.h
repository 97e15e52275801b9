#pragma once

#include <optional>
#include <string>

#include "platform/line_settings.h"
#include "platform/run_time_error.h"

namespace kbx {

// What opening a port asks for: the port by its number, the line settings,
// the modem lines and flow control, and the buffers.
struct PortRequest {
  int commPort = 1;
  LineSettings settings;   // 9600,N,8,1
  bool rtsEnable = false;  // RTS raised while open
  bool dtrEnable = false;  // DTR raised while open
  long handshaking = 0;    // 0 none, 1 XON/XOFF, 2 RTS/CTS, 3 both
  int inBufferSize = 1024;
  int outBufferSize = 512;
};

// What a port has in force: the number and line settings it was last opened
// with (or took last), and the device behind the number.
struct PortDescription {
  int commPort = 1;
  LineSettings settings;
  std::string device;
  // The line settings a serial server on the network confirmed; none for a
  // port whose line is set here, or on the server alone.
  std::optional<LineSettings> confirmed;
};

// The program's one serial port: a handful of verbs, polled, never waiting.
// Every failing verb throws RunTimeError with the serial control's number:
//   8002 a number that names no port
//   8005 the port is already open, or held by another program
//   8012 the device cannot be opened for another reason
//   8015 the line settings cannot be applied
//   380  an unsupported or malformed value in the request
//   8020, 8021 reading or writing a device that has gone
// Received bytes are read as binary, all that wait at once; the port raises
// no notifications.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Takes the request's values in its order (flow control, buffers,
  // settings, number), each refused one leaving the one before in force, and
  // opens the port with what is in force; the failure last in that order is
  // thrown (a PortOpenError where the port can say why, in words), and then
  // the port stays closed. Starts with nothing received.
  virtual void Open(const PortRequest& request) = 0;
  // Sends what it can of the waiting output and closes; closing a closed
  // port does nothing.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // Received bytes waiting; never more than the receive buffer holds: bytes
  // beyond it are lost as in a hardware overrun. 0 while closed.
  virtual int BytesWaiting() = 0;
  // All waiting bytes, removed from the receive buffer.
  virtual Bytes ReadAll() = 0;
  // Queues the bytes for transmission and returns at once; empty queues nothing.
  virtual void Write(const Bytes& bytes) = 0;
  // Written bytes not yet handed to the line; 0 while closed.
  virtual int PendingOutput() = 0;
  // Discards everything received and not yet read; also while closed.
  virtual void DiscardInput() = 0;
  virtual PortDescription Describe() const = 0;
};

}  // namespace kbx
