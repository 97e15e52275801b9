#include "platform/pseudo_terminal.h"

#include <cerrno>
#include <csignal>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "platform/line_settings.h"
#include "platform/line_speed.h"

namespace kbx {

namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) ThrowErrno("tcgetattr");
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) ThrowErrno("tcsetattr");
}

char ParityOf(tcflag_t flags) {
  if (!(flags & PARENB)) return 'N';
  if (flags & CMSPAR) return (flags & PARODD) ? 'M' : 'S';
  return (flags & PARODD) ? 'O' : 'E';
}

int DataBitsOf(tcflag_t flags) {
  switch (flags & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
  return set;
}

// Waits without spinning; used when the master side has nothing to offer
// but a hang-up, which poll() would otherwise report again at once.
void Pause(int milliseconds) {
  if (milliseconds > 0) ::poll(nullptr, 0, milliseconds);
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
  if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) ThrowErrno("openpty");
  try {
    char name[256] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) ThrowErrno("ptsname_r");
    slavePath_ = name;
    MakeRaw(slave_);
    MakeRaw(master_);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) ThrowErrno("fcntl");
  } catch (...) {
    Close();
    throw;
  }
}

PseudoTerminal::~PseudoTerminal() {
  Close();
}

Bytes PseudoTerminal::Read(int timeoutMs) {
  if (master_ < 0) {
    Pause(timeoutMs);
    return {};
  }
  pollfd pfd{master_, POLLIN, 0};
  const int ready = ::poll(&pfd, 1, timeoutMs);
  if (ready <= 0) return {};  // time-out or a signal
  if ((pfd.revents & POLLIN) == 0) {
    // Hang-up without data: nobody holds the slave side open.
    Pause(timeoutMs);
    return {};
  }
  Bytes buffer(4096);
  const ssize_t n = ::read(master_, buffer.data(), buffer.size());
  if (n <= 0) {
    if (n < 0 && errno == EIO) Pause(timeoutMs);  // the slave side went away meanwhile
    return {};
  }
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}

std::size_t PseudoTerminal::Write(const Bytes& bytes, int timeoutMs) {
  std::size_t done = 0;
  while (master_ >= 0 && done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;  // e.g. EIO: no slave side
    pollfd pfd{master_, POLLOUT, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0 || (pfd.revents & POLLOUT) == 0) break;
  }
  return done;
}

void PseudoTerminal::Close() {
  CloseFd(slave_);
  CloseFd(master_);
}

void BlockStopSignals() {
  const sigset_t set = StopSignals();
  const int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_sigmask");
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) ThrowErrno("signal");
}

int WaitForStopSignal() {
  const sigset_t set = StopSignals();
  int signalNumber = 0;
  const int rc = ::sigwait(&set, &signalNumber);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "sigwait");
  return signalNumber;
}

std::string PseudoTerminal::LineInForce() const {
  termios tio{};
  if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) return "";
  LineSettings line;
  line.baud = LineSpeed(slave_);
  line.parity = ParityOf(tio.c_cflag);
  line.dataBits = DataBitsOf(tio.c_cflag);
  // Two stop bits at 5 data bits are 1.5 on a UART.
  line.stopHalves = !(tio.c_cflag & CSTOPB) ? 2 : line.dataBits == 5 ? 3 : 4;
  return FormatLineSettings(line);
}

}  // namespace kbx
