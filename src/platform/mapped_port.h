#pragma once

#include <string>

#include "platform/network_port.h"
#include "platform/port_lock.h"
#include "platform/port_map.h"
#include "platform/serial_port.h"
#include "platform/tty_port.h"

namespace kbx {

// The serial port of a COM number, whatever the number names: a terminal
// device (TtyPort, with its lock) or a serial server on the network
// (NetworkPort, which takes no lock file). Each Open looks at what the port
// map says the requested number names now and uses that kind of port; the
// other kind is closed. Until the first Open, and for a number that names no
// port, the kind in force stays.
class MappedPort : public SerialPort {
 public:
  // `ports` must outlive this object. `lockFolder` as for TtyPort.
  explicit MappedPort(const PortMap& ports, std::string lockFolder = DefaultLockFolder());

  void Open(const PortRequest& request) override;
  void Close() override { Active().Close(); }
  bool IsOpen() const override { return Active().IsOpen(); }
  int BytesWaiting() override { return Active().BytesWaiting(); }
  Bytes ReadAll() override { return Active().ReadAll(); }
  void Write(const Bytes& bytes) override { Active().Write(bytes); }
  int PendingOutput() override { return Active().PendingOutput(); }
  void DiscardInput() override { Active().DiscardInput(); }
  PortDescription Describe() const override { return Active().Describe(); }

 private:
  SerialPort& Active() { return network_ ? static_cast<SerialPort&>(networkPort_) : ttyPort_; }
  const SerialPort& Active() const {
    return network_ ? static_cast<const SerialPort&>(networkPort_) : ttyPort_;
  }

  const PortMap& ports_;
  TtyPort ttyPort_;
  NetworkPort networkPort_;
  bool network_ = false;  // which of the two is in force
};

}  // namespace kbx
