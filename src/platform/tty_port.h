#pragma once

#include <memory>
#include <string>

#include "platform/line_settings.h"
#include "platform/port_lock.h"
#include "platform/port_map.h"
#include "platform/port_values.h"
#include "platform/serial_port.h"

namespace kbx {

// The serial port over a terminal device (termios). Nothing waits: every verb
// looks at the device when it is called, and no call blocks for more than a
// few milliseconds.
//
// Received bytes are moved into a receive buffer of the requested size; bytes
// that arrive while it is full are lost, as in a hardware overrun. Written
// bytes wait in a queue of ours and go to the device as it takes them, so a
// signal never cuts a frame in half. A device that disappears while open makes
// the reading verbs fail with 8020 and the writing ones with 8021.
//
// Modem lines and flow control are applied where the device has them; a
// device without them (a pseudo-terminal) opens like any other port.
//
// The device is marked as ours the way serial programs mark their ports (a
// UUCP lock file and flock(), see PortLock) from its first open to the end of
// this object: closing and opening it again keeps the mark, so no other
// program can take the port in between. A close drops DTR and RTS, as the
// line does when a port closes. Opening another device gives up the mark of
// the first. A failed Open throws a PortOpenError that says why, in words.
class TtyPort : public SerialPort {
 public:
  // `ports` says which device a port number names; it must outlive this
  // object and is consulted whenever the port is opened.
  // `lockFolder` is where the ports' lock files are ("": none are used).
  explicit TtyPort(const PortMap& ports, std::string lockFolder = DefaultLockFolder());
  ~TtyPort() override;
  TtyPort(const TtyPort&) = delete;
  TtyPort& operator=(const TtyPort&) = delete;

  void Open(const PortRequest& request) override;
  void Close() override;
  bool IsOpen() const override { return fd_ >= 0; }
  int BytesWaiting() override;
  Bytes ReadAll() override;
  void Write(const Bytes& bytes) override;
  int PendingOutput() override;
  void DiscardInput() override;
  PortDescription Describe() const override;

 private:
  // The error to throw when the port cannot be used, and why.
  static PortOpenError Failure(int number, const std::string& device, const std::string& reason);
  // Opens the device of commPort_ with what is in force.
  void OpenDevice();
  // Puts line settings on the open port; false if the device refuses them.
  bool ApplyLine(const LineSettings& line);
  // Whether the open port's line has these settings now.
  bool LineIs(const LineSettings& line) const;
  // Flow control and the modem lines, where the device has them.
  void ApplyHandshake();
  void ApplyModemLines();
  // Reads everything the device has received into the receive buffer.
  void Receive();
  // Hands as much waiting output to the device as it takes right now.
  void Transmit();

  const PortMap& ports_;
  const std::string lockFolder_;
  std::unique_ptr<PortLock> lock_;  // from the first open on
  int fd_ = -1;                     // while open
  int commPort_ = 1;
  PortValues values_;
  Bytes received_;
  Bytes unsent_;
};

}  // namespace kbx
