#include "platform/tty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/line_speed.h"

namespace kbx {
namespace {

// Bounds on the rounds of one call, so that a peer that never stops sending
// cannot keep a call from returning.
constexpr int kMaxReadRounds = 64;
constexpr int kMaxWriteRounds = 16;
constexpr std::size_t kChunk = 4096;

constexpr short kLost = POLLERR | POLLHUP | POLLNVAL;

// True when nothing is at `path` (a folder on the way that may not be looked
// into is no proof of that: opening it says more).
bool NamesNothing(const std::string& path) {
  struct stat st {};
  if (path.empty()) return true;
  if (::stat(path.c_str(), &st) == 0) return false;
  return errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == ENAMETOOLONG;
}

// What the poll of the descriptor says right now, without waiting.
short PollNow(int fd, short events) {
  pollfd pfd{fd, events, 0};
  int r = 0;
  do {
    r = ::poll(&pfd, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return POLLERR;
  return r == 0 ? 0 : pfd.revents;
}

void ModemLines(int fd, unsigned long request, int lines) {
  // A pseudo-terminal has no modem lines ("Inappropriate ioctl"); that is
  // not a failure of the port.
  if (lines != 0) ::ioctl(fd, request, &lines);
}

}  // namespace

TtyPort::TtyPort(const PortMap& ports, std::string lockFolder)
    : ports_(ports), lockFolder_(std::move(lockFolder)) {}

TtyPort::~TtyPort() {
  Close();
}

PortOpenError TtyPort::Failure(int number, const std::string& device, const std::string& reason) {
  PortFailure why;
  why.number = number;
  why.device = device;
  why.reason = reason;
  return PortOpenError(std::move(why));
}

void TtyPort::Open(const PortRequest& request) {
  const std::string com = "COM" + std::to_string(request.commPort);
  if (IsOpen())
    throw Failure(kErrPortAlreadyOpen, ports_.Device(commPort_),
                  ports_.Device(commPort_) + " is already open");
  // Each value in turn; a refused one leaves the one before in force, and the
  // last refusal is the one that counts.
  std::optional<RunTimeError> failure;
  if (!values_.Take(request)) failure = RunTimeError(kErrInvalidProperty);
  const std::string device = ports_.Device(request.commPort);
  if (request.commPort < 1) {
    failure = Failure(kErrInvalidPortNumber, "", com + " names no port: port numbers start at 1");
  } else if (NamesNothing(device)) {
    failure = Failure(kErrInvalidPortNumber, device, com + " is " + device + ", which does not exist");
  } else {
    commPort_ = request.commPort;
  }
  FinishOpen(
      std::move(failure), [this] { OpenDevice(); }, [this] { Close(); });
}

void TtyPort::OpenDevice() {
  const std::string device = ports_.Device(commPort_);
  if (!lock_ || lock_->Device() != device || !lock_->StillThere()) {
    lock_.reset();
    PortFailure why;
    lock_ = PortLock::Take(device, lockFolder_, why);
    if (!lock_) throw PortOpenError(std::move(why));
  }
  // A descriptor of our own on the device the lock holds, whatever its path.
  fd_ = ::open(lock_->AccessPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0)
    throw Failure(kErrDeviceNotOpen, device, device + " cannot be opened: " + strerrordesc_np(errno));
  termios tio{};
  if (::tcgetattr(fd_, &tio) == 0) {
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(fd_, TCSANOW, &tio);
  }
  if (!ApplyLine(values_.line))
    throw Failure(kErrCommState, device,
                  device + " does not take the line settings " + FormatLineSettings(values_.line));
  ApplyHandshake();
  ApplyModemLines();
  // A freshly opened port starts with nothing received.
  ::tcflush(fd_, TCIFLUSH);
  received_.clear();
  unsent_.clear();
}

void TtyPort::Close() {
  if (fd_ >= 0) {
    try {
      Transmit();
    } catch (const RunTimeError&) {
      // The device is gone; closing is all that is left to do.
    }
    // The lock's descriptor keeps the device open, so closing ours does not
    // drop the lines by itself.
    ModemLines(fd_, TIOCMBIC, TIOCM_DTR | TIOCM_RTS);
    ::close(fd_);
    fd_ = -1;
  }
  received_.clear();
  unsent_.clear();
}

bool TtyPort::ApplyLine(const LineSettings& line) {
  // termios has no 1.5 stop bits; a UART gives 1.5 for "two" at 5 data bits
  // only, so any other combination cannot be set.
  if (line.stopHalves == 3 && line.dataBits != 5) return false;
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return false;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  tio.c_cflag |= line.dataBits == 5 ? CS5 : line.dataBits == 6 ? CS6 : line.dataBits == 7 ? CS7 : CS8;
  switch (line.parity) {
    case 'E':
      tio.c_cflag |= PARENB;
      break;
    case 'O':
      tio.c_cflag |= PARENB | PARODD;
      break;
    case 'M':
      tio.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case 'S':
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (line.stopHalves != 2) tio.c_cflag |= CSTOPB;
  return ::tcsetattr(fd_, TCSANOW, &tio) == 0 && SetLineSpeed(fd_, line.baud) && LineIs(line);
}

bool TtyPort::LineIs(const LineSettings& line) const {
  // A driver may quietly keep what its hardware can do instead (a
  // pseudo-terminal always runs 8 data bits without parity); so read the
  // line back.
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return false;
  const tcflag_t size = line.dataBits == 5 ? CS5 : line.dataBits == 6 ? CS6 : line.dataBits == 7 ? CS7 : CS8;
  tcflag_t parity = 0;
  switch (line.parity) {
    case 'E':
      parity = PARENB;
      break;
    case 'O':
      parity = PARENB | PARODD;
      break;
    case 'M':
      parity = PARENB | PARODD | CMSPAR;
      break;
    case 'S':
      parity = PARENB | CMSPAR;
      break;
    default:
      break;
  }
  const tcflag_t parityBits = (tio.c_cflag & PARENB) ? tio.c_cflag & (PARENB | PARODD | CMSPAR) : 0;
  const bool twoStop = (tio.c_cflag & CSTOPB) != 0;
  return (tio.c_cflag & CSIZE) == size && parityBits == parity && twoStop == (line.stopHalves != 2);
}

void TtyPort::ApplyHandshake() {
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cflag &= ~CRTSCTS;
  if (values_.handshaking == 1 || values_.handshaking == 3) tio.c_iflag |= IXON | IXOFF;
  if (values_.handshaking >= 2) tio.c_cflag |= CRTSCTS;
  ::tcsetattr(fd_, TCSANOW, &tio);
}

void TtyPort::ApplyModemLines() {
  // With RTS/CTS handshaking the driver owns RTS.
  const int rts = values_.handshaking >= 2 ? 0 : TIOCM_RTS;
  ModemLines(fd_, TIOCMBIS, (values_.dtr ? TIOCM_DTR : 0) | (values_.rts ? rts : 0));
  ModemLines(fd_, TIOCMBIC, (values_.dtr ? 0 : TIOCM_DTR) | (values_.rts ? 0 : rts));
}

void TtyPort::Receive() {
  if (fd_ < 0) return;
  std::uint8_t chunk[kChunk];
  for (int round = 0; round < kMaxReadRounds; ++round) {
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0) throw RunTimeError(kErrReadDevice);
    if (n == 0) break;
    // What finds no room is lost: the receive buffer was full when it came.
    const std::size_t room = received_.size() < static_cast<std::size_t>(values_.inBufferSize)
                                 ? static_cast<std::size_t>(values_.inBufferSize) - received_.size()
                                 : 0;
    received_.insert(received_.end(), chunk, chunk + std::min(room, static_cast<std::size_t>(n)));
  }
  if (PollNow(fd_, POLLIN) & kLost) throw RunTimeError(kErrReadDevice);
}

void TtyPort::Transmit() {
  if (fd_ < 0) return;
  for (int round = 0; round < kMaxWriteRounds && !unsent_.empty(); ++round) {
    const short events = PollNow(fd_, POLLOUT);
    if (events & kLost) throw RunTimeError(kErrWriteDevice);
    // Not writable: the device's own queue is full; the next call goes on.
    if (!(events & POLLOUT)) return;
    const ssize_t n = ::write(fd_, unsent_.data(), std::min(unsent_.size(), kChunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0) throw RunTimeError(kErrWriteDevice);
    unsent_.erase(unsent_.begin(), unsent_.begin() + n);
  }
}

int TtyPort::BytesWaiting() {
  if (fd_ < 0) return 0;
  Receive();
  return static_cast<int>(received_.size());
}

Bytes TtyPort::ReadAll() {
  if (fd_ < 0) throw RunTimeError(kErrDeviceNotOpen);
  Receive();
  Bytes bytes;
  bytes.swap(received_);
  return bytes;
}

void TtyPort::Write(const Bytes& bytes) {
  if (fd_ < 0) throw RunTimeError(kErrDeviceNotOpen);
  unsent_.insert(unsent_.end(), bytes.begin(), bytes.end());
  Transmit();
}

int TtyPort::PendingOutput() {
  if (fd_ < 0) return 0;
  Transmit();
  return static_cast<int>(unsent_.size());
}

void TtyPort::DiscardInput() {
  received_.clear();
  // Also what the device still holds.
  if (fd_ >= 0) ::tcflush(fd_, TCIFLUSH);
}

PortDescription TtyPort::Describe() const {
  return PortDescription{commPort_, values_.line, ports_.Device(commPort_), std::nullopt};
}

}  // namespace kbx
