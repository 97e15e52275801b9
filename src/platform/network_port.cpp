#include "platform/network_port.h"

#include <algorithm>
#include <mutex>
#include <optional>

#include "platform/gensio_support.h"
#include "platform/stop_signals.h"

namespace kbx {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Longest text of a server's that is kept to say why it turned us away.
constexpr std::size_t kMaxWords = 200;
// How long Open watches a new connection for a server that turns it away at
// once: about one round trip (as long as the connection took), within bounds.
constexpr milliseconds kMinTurnAwayWatch{20};
constexpr milliseconds kMaxTurnAwayWatch{300};

// RFC 2217 counts stop bits as 1, 2, or 3 for 1.5.
unsigned GensioStopBits(int stopHalves) {
  return stopHalves == 4 ? 2u : stopHalves == 3 ? 3u : 1u;
}

int StopHalves(unsigned stopBits) {
  return stopBits == 2 ? 4 : stopBits == 3 ? 3 : 2;
}

std::string GensioText(int error) {
  return gensios::gensio_err_to_str(error);
}

// The printable part of what a server wrote, on one line.
std::string Words(const Bytes& bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    if (byte >= 0x20 && byte < 0x7F) {
      text += static_cast<char>(byte);
    } else if (!text.empty() && text.back() != ' ') {
      text += ' ';
    }
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

// One connection to the server, and what gensio tells of it.
struct NetworkPort::Connection : gensios::Serial_Event {
  // A confirmation of one line setting.
  struct Answer : gensios::Serial_Op_Done {
    bool done = false;
    int error = 0;
    unsigned value = 0;
    void serial_op_done(int err, unsigned int val) override {
      done = true;
      error = err;
      value = val;
    }
  };
  struct Opened : gensios::Gensio_Open_Done {
    bool done = false;
    int error = 0;
    void open_done(int err) override {
      done = true;
      error = err;
    }
  };

  // An event loop of the connection's own: ports in other threads (a scan of
  // many) never handle each other's events. Throws gensio_error.
  explicit Connection(std::size_t bufferSize) : os(LendLoop()), receiveBuffer(bufferSize) {}
  ~Connection() override { GiveBackLoop(os); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  gensios::gensiods read(int err, const gensios::SimpleUCharVector data, const char* const*) override {
    if (err != 0) {
      Lose(err);
      return 0;
    }
    const std::uint8_t* bytes = data.data();
    const std::size_t count = data.size();
    if (words.size() < kMaxWords) words.insert(words.end(), bytes, bytes + std::min(count, kMaxWords));
    // What finds no room is lost: the receive buffer was full when it came.
    const std::size_t room = received.size() < receiveBuffer ? receiveBuffer - received.size() : 0;
    received.insert(received.end(), bytes, bytes + std::min(room, count));
    return count;
  }

  void write_ready() override {
    // The next verb goes on with the output; until then nothing more is asked.
    io->set_write_callback_enable(false);
  }

  void Lose(int err) {
    if (lost) return;
    lost = true;
    lostReason = GensioText(err);
    io->set_read_callback_enable(false);
  }

  gensios::Os_Funcs os;
  gensios::Gensio* io = nullptr;
  Opened opened;
  Answer baud;
  Answer dataBits;
  Answer parity;
  Answer stopBits;
  std::size_t receiveBuffer;
  Bytes received;
  Bytes unsent;
  Bytes words;  // the first bytes the server wrote
  bool lost = false;
  std::string lostReason;
};

NetworkPort::NetworkPort(const PortMap& ports) : ports_(ports) {
  IgnoreBrokenPipes();
}

NetworkPort::~NetworkPort() {
  Close();
}

bool NetworkPort::IsOpen() const {
  return connection_ != nullptr;
}

PortOpenError NetworkPort::Failure(int number, const std::string& reason) const {
  PortFailure why;
  why.number = number;
  why.device = ports_.Device(commPort_);
  why.reason = reason;
  return PortOpenError(std::move(why));
}

void NetworkPort::Open(const PortRequest& request) {
  const std::string com = "COM" + std::to_string(request.commPort);
  if (IsOpen()) throw Failure(kErrPortAlreadyOpen, ports_.Device(commPort_) + " is already open");
  // Each value in turn, as a local port takes them; the last refusal counts.
  std::optional<RunTimeError> failure;
  if (!values_.Take(request)) failure = RunTimeError(kErrInvalidProperty);
  if (request.commPort < 1) {
    failure = Failure(kErrInvalidPortNumber, com + " names no port: port numbers start at 1");
  } else {
    commPort_ = request.commPort;
  }
  FinishOpen(
      std::move(failure), [this] { Connect(); }, [this] { Close(); });
}

void NetworkPort::Connect() {
  const std::string name = ports_.Device(commPort_);
  std::string why;
  const std::optional<PortAddress> address = ParsePortAddress(name, why);
  if (!address) throw Failure(kErrInvalidPortNumber, why);
  const bool rfc2217 = address->kind == PortAddress::Kind::kRfc2217;
  confirmed_.reset();

  try {
    connection_ = std::make_unique<Connection>(static_cast<std::size_t>(values_.inBufferSize));
  } catch (const gensios::gensio_error& error) {
    throw Failure(kErrDeviceNotOpen, name + " cannot be reached: " + error.what());
  }
  Connection& c = *connection_;
  // gensio looks the host up here, before anything is sent.
  try {
    const std::lock_guard lock(GensioAllocLock());
    c.io = gensios::gensio_alloc(std::string(rfc2217 ? "telnet(rfc2217)," : "") + "tcp," + address->host +
                                     "," + std::to_string(address->port),
                                 c.os, &c);
  } catch (const gensios::gensio_error& error) {
    throw Failure(kErrInvalidPortNumber,
                  "the host " + address->host + " of " + name + " cannot be found: " + error.what());
  }
  const Steady::time_point start = Steady::now();
  try {
    c.io->open(&c.opened);
  } catch (const gensios::gensio_error& error) {
    throw Failure(kErrDeviceNotOpen, name + " cannot be reached: " + error.what());
  }
  while (!c.opened.done && Steady::now() - start < kConnectBound) Service(milliseconds(20));
  if (!c.opened.done)
    throw Failure(kErrDeviceNotOpen,
                  name + " did not answer within " + std::to_string(kConnectBound.count() / 1000) + " s");
  // A server that closes while telnet is being set up has turned us away.
  if (c.opened.error == GE_REMCLOSE) c.lost = true;
  if (c.opened.error != 0 && !c.lost)
    throw Failure(kErrDeviceNotOpen, name + " cannot be reached: " + GensioText(c.opened.error));
  const Steady::time_point connected = Steady::now();
  if (!c.lost) c.io->set_read_callback_enable(true);

  // A server that has its line given to another client says so and closes
  // at once. Over RFC 2217 its answers to the line settings come after that;
  // over raw TCP give it about a round trip (as long as connecting took).
  if (c.lost) {
    // Told below.
  } else if (rfc2217 && c.io->is_serial()) {
    ApplyLine(name);
  } else {
    const milliseconds watch =
        std::clamp(std::chrono::duration_cast<milliseconds>(connected - start) + kMinTurnAwayWatch,
                   kMinTurnAwayWatch, kMaxTurnAwayWatch);
    while (!c.lost && Steady::now() - connected < watch) Service(milliseconds(5));
  }
  if (c.lost) {
    const std::string words = Words(c.words);
    throw Failure(kErrPortAlreadyOpen,
                  name + " turned the connection away" + (words.empty() ? " at once" : ": " + words));
  }
  // A new connection starts with nothing received (a telnet server's greeting
  // is no data of the line's).
  c.received.clear();
}

void NetworkPort::ApplyLine(const std::string& name) {
  Connection& c = *connection_;
  auto& serial = static_cast<gensios::Serial_Gensio&>(*c.io);
  try {
    serial.baud(static_cast<unsigned>(values_.line.baud), &c.baud);
    serial.datasize(static_cast<unsigned>(values_.line.dataBits), &c.dataBits);
    serial.parity(GensioParity(values_.line.parity), &c.parity);
    serial.stopbits(GensioStopBits(values_.line.stopHalves), &c.stopBits);
    // Asked for, never waited on: a server whose line has no modem lines or
    // flow control may not answer at all.
    const unsigned flow = values_.handshaking >= 2   ? SERGENSIO_FLOWCONTROL_RTS_CTS
                          : values_.handshaking == 1 ? SERGENSIO_FLOWCONTROL_XON_XOFF
                                                     : SERGENSIO_FLOWCONTROL_NONE;
    serial.flowcontrol(flow, nullptr);
    serial.dtr(values_.dtr ? SERGENSIO_DTR_ON : SERGENSIO_DTR_OFF, nullptr);
    // With RTS/CTS handshaking the server owns RTS.
    if (values_.handshaking < 2) serial.rts(values_.rts ? SERGENSIO_RTS_ON : SERGENSIO_RTS_OFF, nullptr);
  } catch (gensios::gensio_error& error) {
    c.Lose(error.get_error());
  }
  const auto answered = [&c] { return c.baud.done && c.dataBits.done && c.parity.done && c.stopBits.done; };
  const Steady::time_point asked = Steady::now();
  while (!c.lost && !answered() && Steady::now() - asked < kSettingsBound) Service(milliseconds(5));
  // A connection turned away at once is told by the caller.
  if (c.lost) return;
  const std::string wanted = FormatLineSettings(values_.line);
  if (!answered())
    throw Failure(kErrCommState, name + " did not confirm the line settings " + wanted + " within " +
                                     std::to_string(kSettingsBound.count() / 1000) + " s");
  for (const Connection::Answer* answer : {&c.baud, &c.dataBits, &c.parity, &c.stopBits}) {
    if (answer->error != 0)
      throw Failure(kErrCommState,
                    name + " does not take the line settings " + wanted + ": " + GensioText(answer->error));
  }
  LineSettings got;
  got.baud = static_cast<int>(c.baud.value);
  got.dataBits = static_cast<int>(c.dataBits.value);
  got.parity = ParityLetter(c.parity.value);
  got.stopHalves = StopHalves(c.stopBits.value);
  confirmed_ = got;
  if (got != values_.line)
    throw Failure(kErrCommState, name + " does not take the line settings " + wanted + ": it confirmed " +
                                     FormatLineSettings(got));
}

void NetworkPort::Service(milliseconds wait) {
  if (!connection_) return;
  // Each round handles what is ready; the first may also wait for it.
  for (int round = 0; round < 4; ++round) {
    gensios::gensio_time timeout{0, round == 0 ? static_cast<int>(wait.count()) * 1000000 : 0};
    if (gensios::gensio_os_funcs_service(connection_->os, &timeout) != 0) break;
  }
}

void NetworkPort::Transmit() {
  Connection& c = *connection_;
  if (c.unsent.empty()) return;
  if (c.lost) throw RunTimeError(kErrWriteDevice);
  try {
    const gensios::gensiods sent = c.io->write(c.unsent.data(), c.unsent.size(), nullptr);
    c.unsent.erase(c.unsent.begin(), c.unsent.begin() + static_cast<std::ptrdiff_t>(sent));
  } catch (gensios::gensio_error& error) {
    c.Lose(error.get_error());
    throw RunTimeError(kErrWriteDevice);
  }
  // Told when the connection takes more.
  if (!c.unsent.empty()) c.io->set_write_callback_enable(true);
}

void NetworkPort::Disconnect() {
  if (!connection_) return;
  Connection& c = *connection_;
  if (c.io != nullptr) {
    try {
      c.io->close_s();
    } catch (const gensios::gensio_error&) {
      // Closed already, or never opened.
    }
    c.io->set_event_handler(nullptr);
    c.io->free();
  }
  connection_.reset();
}

void NetworkPort::Close() {
  if (connection_) {
    try {
      Service();
      Transmit();
    } catch (const RunTimeError&) {
      // The connection is gone; closing is all that is left to do.
    }
  }
  Disconnect();
}

int NetworkPort::BytesWaiting() {
  if (!connection_) return 0;
  Service();
  if (connection_->lost) throw RunTimeError(kErrReadDevice);
  return static_cast<int>(connection_->received.size());
}

Bytes NetworkPort::ReadAll() {
  if (!connection_) throw RunTimeError(kErrDeviceNotOpen);
  Service();
  if (connection_->lost) throw RunTimeError(kErrReadDevice);
  Bytes bytes;
  bytes.swap(connection_->received);
  return bytes;
}

void NetworkPort::Write(const Bytes& bytes) {
  if (!connection_) throw RunTimeError(kErrDeviceNotOpen);
  Service();
  if (connection_->lost) throw RunTimeError(kErrWriteDevice);
  connection_->unsent.insert(connection_->unsent.end(), bytes.begin(), bytes.end());
  Transmit();
}

int NetworkPort::PendingOutput() {
  if (!connection_) return 0;
  Service();
  Transmit();
  return static_cast<int>(connection_->unsent.size());
}

void NetworkPort::DiscardInput() {
  if (!connection_) return;
  // Also what the network has brought and nobody has looked at yet.
  Service();
  connection_->received.clear();
}

PortDescription NetworkPort::Describe() const {
  return PortDescription{commPort_, values_.line, ports_.Device(commPort_), confirmed_};
}

}  // namespace kbx
