#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/line_settings.h"
#include "platform/port_address.h"
#include "platform/port_lock.h"
#include "platform/port_map.h"
#include "platform/port_values.h"
#include "platform/serial_port.h"

namespace kbx {

// The serial port of a serial server on the network (see PortAddress), over
// the gensio library: "rfc2217://" speaks telnet with RFC 2217 and sets the
// server's line, "tcp://" carries the bytes as they are and leaves the line
// to the server. Polled like TtyPort: every verb handles what the network has
// brought and returns within a few milliseconds; only Open waits, for the
// connection (up to 5 s) and for the server's answers.
//
// Over RFC 2217, Open asks the server for the baud rate, parity, data bits
// and stop bits and checks what it confirms: a refusal, another value or no
// answer is 8015, as a local port's line that will not take the settings.
// DTR, RTS and flow control are asked for and not waited on: a server whose
// line has none of them (a pseudo-terminal) may never answer.
//
// A failed Open throws a PortOpenError that says why, in words: 8002 for a host that cannot
// be resolved, 8012 for a server that cannot be reached or does not answer in
// 5 s, 8005 with the server's words for one that turns the connection away at
// once (ser2net: "Port already in use"). A connection lost while open makes
// the reading verbs fail with 8020 and the writing ones with 8021; the next
// Open connects anew. Network ports take no lock file: the server keeps
// other clients off its line.
class NetworkPort : public SerialPort {
 public:
  // `ports` says which address a port number names; it must outlive this
  // object. A connection the server drops must not end the program, so this
  // ignores SIGPIPE from here on.
  explicit NetworkPort(const PortMap& ports);
  ~NetworkPort() override;
  NetworkPort(const NetworkPort&) = delete;
  NetworkPort& operator=(const NetworkPort&) = delete;

  void Open(const PortRequest& request) override;
  void Close() override;
  bool IsOpen() const override;
  int BytesWaiting() override;
  Bytes ReadAll() override;
  void Write(const Bytes& bytes) override;
  int PendingOutput() override;
  void DiscardInput() override;
  PortDescription Describe() const override;

  // How long Open waits for the connection.
  static constexpr std::chrono::milliseconds kConnectBound{5000};
  // How long Open waits for the server to confirm the line settings.
  static constexpr std::chrono::milliseconds kSettingsBound{2000};

 private:
  struct Connection;

  PortOpenError Failure(int number, const std::string& reason) const;
  // Connects to the address of commPort_ and sets its line; throws RunTimeError.
  void Connect();
  // Asks the server for the line settings and waits for its answers.
  void ApplyLine(const std::string& name);
  // Handles what the network has brought, waiting up to `wait` for something.
  void Service(std::chrono::milliseconds wait = std::chrono::milliseconds(0));
  // Hands as much waiting output to the connection as it takes right now.
  void Transmit();
  void Disconnect();

  const PortMap& ports_;
  std::unique_ptr<Connection> connection_;
  int commPort_ = 1;
  PortValues values_;
  std::optional<LineSettings> confirmed_;  // the line settings the server confirmed
};

}  // namespace kbx
