#pragma once

#include <memory>
#include <string>

#include "platform/byte_line.h"

namespace kbx {

// A serial server's port on the loopback network, over gensio's accepter: the
// simulated UPS served the way ser2net serves a device. "rfc2217" speaks
// telnet with RFC 2217 and takes the line settings a client asks for (and
// confirms them); "tcp" carries the bytes as they are. One client at a time:
// another one is told "Port already in use" and turned away, as ser2net does.
// Every call but the constructor comes from one thread, the one that serves.
class NetworkLine : public ByteLine {
 public:
  // Listens on 127.0.0.1:port (0: a free port, see Port()). Throws
  // std::runtime_error when it cannot.
  NetworkLine(const std::string& kind, int port);
  ~NetworkLine() override;
  NetworkLine(const NetworkLine&) = delete;
  NetworkLine& operator=(const NetworkLine&) = delete;

  // The port listened on, and the address a client opens, e.g.
  // "rfc2217://127.0.0.1:7001".
  int Port() const { return port_; }
  std::string Address() const;

  Bytes Read(int timeoutMs) override;
  std::size_t Write(const Bytes& bytes, int timeoutMs = 1000) override;
  std::string LineInForce() const override;
  void Close() override;
  bool IsOpen() const override;

 private:
  struct Server;

  std::string kind_;
  int port_ = 0;
  std::unique_ptr<Server> server_;
};

}  // namespace kbx
