#pragma once

// ser2net, the serial server of many a server room, in the foreground on
// loopback in front of a device, for the end-to-end tests and the benchmark.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

#include "support/processes.h"

namespace kbx::test {

// The ser2net program; "" when it is not installed.
inline std::string Ser2netProgram() {
  for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

// A descriptor connected to 127.0.0.1:port; -1 when nothing answers there.
inline int ConnectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  ::close(fd);
  return -1;
}

// A loopback port nobody listens on now.
inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

// ser2net in the foreground with a configuration of its own in `folder`: an
// RFC 2217 port whose line starts at 9600 baud with 2 stop bits, and a raw
// TCP port set up at 19200,N,8,1, both in front of `device`.
class Ser2net {
 public:
  Ser2net(const std::string& program, const std::string& folder, const std::string& device)
      : rfc2217Port_(FreePort()), tcpPort_(FreePort()) {
    const std::string config = folder + "/ser2net.yaml";
    std::ofstream(config) << "connection: &rfc2217\n"
                          << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << rfc2217Port_ << "\n"
                          << "  connector: serialdev(nouucplock)," << device << ",9600n82,local\n"
                          << "connection: &tcp\n"
                          << "  accepter: tcp,127.0.0.1," << tcpPort_ << "\n"
                          << "  connector: serialdev(nouucplock)," << device << ",19200n81,local\n";
    Streams streams;
    streams.stdoutPath = folder + "/ser2net.out";
    streams.stderrPath = folder + "/ser2net.err";
    pid_ = Spawn({program, "-n", "-d", "-c", config}, streams);
    // Listening once a connection is taken; this one goes at once.
    for (int tries = 0; tries < 500; ++tries) {
      const int fd = ConnectTo(tcpPort_);
      if (fd >= 0) {
        ::close(fd);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Ser2net() {
    ::kill(pid_, SIGTERM);
    Wait(pid_);
  }
  std::string Address(const std::string& kind) const {
    return kind + "://127.0.0.1:" + std::to_string(kind == "rfc2217" ? rfc2217Port_ : tcpPort_);
  }

 private:
  int rfc2217Port_;
  int tcpPort_;
  pid_t pid_ = 0;
};

}  // namespace kbx::test
