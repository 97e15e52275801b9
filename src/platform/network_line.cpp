#include "platform/network_line.h"

#include <chrono>
#include <mutex>
#include <stdexcept>

#include "platform/gensio_support.h"
#include "platform/line_settings.h"
#include "platform/stop_signals.h"

namespace kbx {
namespace {

using Steady = std::chrono::steady_clock;

void Free(gensios::Gensio*& io) {
  if (io == nullptr) return;
  try {
    io->close_s();
  } catch (gensios::gensio_error&) {
    // Gone already.
  }
  io->set_event_handler(nullptr);
  io->free();
  io = nullptr;
}

}  // namespace

// The accepter, its one client, and what the client asked of the line.
struct NetworkLine::Server : gensios::Accepter_Event, gensios::Serial_Event {
  Server() : os(LendLoop()) {}
  ~Server() override { GiveBackLoop(os); }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Accepter_Event
  void new_connection(gensios::Gensio* io) override {
    if (client != nullptr) {
      const std::string words = "Port already in use\r\n";
      io->write(words.data(), words.size(), nullptr);
      Free(io);
      return;
    }
    client = io;
    io->set_event_handler(static_cast<gensios::Serial_Event*>(this));
    io->set_read_callback_enable(true);
  }

  // Serial_Event: the client's bytes and its requests for the line.
  gensios::gensiods read(int err, const gensios::SimpleUCharVector data, const char* const*) override {
    if (err != 0) {
      gone = true;
      client->set_read_callback_enable(false);
      return 0;
    }
    received.insert(received.end(), data.data(), data.data() + data.size());
    return data.size();
  }
  void write_ready() override { client->set_write_callback_enable(false); }
  void baud(unsigned int speed) override {
    line.baud = static_cast<int>(speed);
    Serial().baud(speed);
  }
  void datasize(unsigned int size) override {
    line.dataBits = static_cast<int>(size);
    Serial().datasize(size);
  }
  void parity(unsigned int parity) override {
    line.parity = ParityLetter(parity);
    Serial().parity(parity);
  }
  void stopbits(unsigned int bits) override {
    line.stopHalves = bits == 2 ? 4 : bits == 3 ? 3 : 2;
    Serial().stopbits(bits);
  }
  gensios::Serial_Gensio& Serial() { return static_cast<gensios::Serial_Gensio&>(*client); }

  void Service(int ms) {
    gensios::gensio_time timeout{0, ms * 1000000};
    gensios::gensio_os_funcs_service(os, &timeout);
    // A client that has gone makes room for the next.
    if (gone) {
      Free(client);
      gone = false;
      line = LineSettings{};
    }
  }

  gensios::Os_Funcs os;
  gensios::Accepter* accepter = nullptr;
  gensios::Gensio* client = nullptr;
  bool gone = false;
  Bytes received;
  LineSettings line;  // as the client set it over RFC 2217
};

NetworkLine::NetworkLine(const std::string& kind, int port) : kind_(kind) {
  // A client that goes away must not end the program.
  IgnoreBrokenPipes();
  try {
    server_ = std::make_unique<Server>();
    const std::lock_guard lock(GensioAllocLock());
    server_->accepter = gensios::gensio_acc_alloc(
        std::string(kind == "rfc2217" ? "telnet(rfc2217)," : "") + "tcp,127.0.0.1," + std::to_string(port),
        server_->os, server_.get());
    server_->accepter->startup();
    server_->accepter->set_callback_enable(true);
    port_ = std::stoi(server_->accepter->get_port());
  } catch (const gensios::gensio_error& error) {
    Close();
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + error.what());
  }
}

NetworkLine::~NetworkLine() {
  Close();
}

std::string NetworkLine::Address() const {
  return kind_ + "://127.0.0.1:" + std::to_string(port_);
}

Bytes NetworkLine::Read(int timeoutMs) {
  if (!server_) return {};
  const Steady::time_point end = Steady::now() + std::chrono::milliseconds(timeoutMs);
  do {
    server_->Service(std::min(timeoutMs, 5));
  } while (server_->received.empty() && Steady::now() < end);
  Bytes bytes;
  bytes.swap(server_->received);
  return bytes;
}

std::size_t NetworkLine::Write(const Bytes& bytes, int timeoutMs) {
  if (!server_ || server_->client == nullptr) return 0;
  std::size_t written = 0;
  Steady::time_point lastProgress = Steady::now();
  while (written < bytes.size() && server_->client != nullptr &&
         Steady::now() - lastProgress < std::chrono::milliseconds(timeoutMs)) {
    try {
      const gensios::gensiods n =
          server_->client->write(bytes.data() + written, bytes.size() - written, nullptr);
      if (n > 0) lastProgress = Steady::now();
      written += n;
    } catch (gensios::gensio_error&) {
      server_->gone = true;
    }
    if (written < bytes.size()) server_->Service(1);
  }
  return written;
}

std::string NetworkLine::LineInForce() const {
  if (!server_ || kind_ != "rfc2217") return "";
  return FormatLineSettings(server_->line);
}

void NetworkLine::Close() {
  if (!server_) return;
  Free(server_->client);
  if (server_->accepter != nullptr) {
    try {
      server_->accepter->shutdown_s();
    } catch (gensios::gensio_error&) {
      // Never started.
    }
    server_->accepter->set_event_handler(nullptr);
    server_->accepter->free();
  }
  server_.reset();
}

bool NetworkLine::IsOpen() const {
  return server_ != nullptr;
}

}  // namespace kbx
