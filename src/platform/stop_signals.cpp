#include "platform/stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/port_lock.h"

namespace kbx {

namespace {

// Shared with the handlers, which may run on any thread: lock-free atomics
// are safe to touch there.
std::atomic<int> firstSignal{0};
std::atomic<int> signalCount{0};
std::atomic<int> updatesInProgress{0};
std::atomic<int> stopMode{static_cast<int>(StopMode::kNoteEvery)};
static_assert(std::atomic<int>::is_always_lock_free);

std::atomic<bool> secondSignalStopsNow{false};
std::atomic<bool> stopNow{false};
static_assert(std::atomic<bool>::is_always_lock_free);
pthread_t handlingThread{};

// Written as it stands by the handler (no formatting there).
char repeatMessage[160];
std::size_t repeatLength = 0;

// The notice of the first signal, in two buffers: the handler writes the one
// `activeNotice` names, the program fills the other and then names it.
struct Notice {
  char text[240];
  std::size_t length;
};
Notice notices[2];
std::atomic<int> activeNotice{0};

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnStopSignal(int signal) {
  const int savedErrno = errno;
  const int before = signalCount.fetch_add(1);
  if (before == 0) {
    firstSignal.store(signal);
    const Notice& notice = notices[activeNotice.load()];
    if (notice.length > 0 && ::write(STDERR_FILENO, notice.text, notice.length) < 0) {
      // nothing more can be said
    }
  } else if (stopMode.load() == static_cast<int>(StopMode::kSecondSignalEnds)) {
    if (updatesInProgress.load() > 0) {
      if (::write(STDERR_FILENO, repeatMessage, repeatLength) < 0) {
        // nothing more can be said
      }
    } else if (secondSignalStopsNow.load()) {
      stopNow.store(true);
    } else {
      // No destructor runs now: the lock files go here.
      RemoveHeldLockFiles();
      // Blocked while this handler runs: ends the program once it returns.
      ::signal(signal, SIG_DFL);
      ::raise(signal);
    }
  }
  errno = savedErrno;
}

}  // namespace

void InstallStopSignals(StopMode mode, const std::string& program) {
  const std::string message = program + ": the module update is being finished; the program ends after it\n";
  repeatLength = std::min(message.size(), sizeof repeatMessage);
  std::memcpy(repeatMessage, message.data(), repeatLength);
  stopMode.store(static_cast<int>(mode));
  handlingThread = pthread_self();

  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : kStopSignals) sigaddset(&action.sa_mask, signal);
  // Calls interrupted by the signal are resumed where they were.
  action.sa_flags = SA_RESTART;
  for (const int signal : kStopSignals) ::sigaction(signal, &action, nullptr);
}

void SetSecondSignalStopsNow(bool stopsNow) {
  secondSignalStopsNow.store(stopsNow);
}

void ThrowIfStopNow() {
  if (stopNow.load() && pthread_equal(pthread_self(), handlingThread)) throw StopNow{};
}

void SetStopNotice(const std::string& text) {
  Notice& spare = notices[1 - activeNotice.load()];
  spare.length = std::min(text.size(), sizeof spare.text);
  std::memcpy(spare.text, text.data(), spare.length);
  activeNotice.store(1 - activeNotice.load());
}

int StopSignal() {
  return firstSignal.load();
}

int StopSignalCount() {
  return signalCount.load();
}

void ClearStopSignals() {
  firstSignal.store(0);
  signalCount.store(0);
  stopNow.store(false);
}

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signal);
  }
}

UpdateInProgress::UpdateInProgress() {
  updatesInProgress.fetch_add(1);
}

UpdateInProgress::~UpdateInProgress() {
  updatesInProgress.fetch_sub(1);
}

void IgnoreBrokenPipes() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGPIPE, &action, nullptr);
}

void ReserveStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free number: this one, as the lower ones are taken.
      ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
  }
}

bool InputIsTerminal() {
  return ::isatty(STDIN_FILENO) != 0;
}

bool ReadAnswerLine(std::string& line) {
  line.clear();
  const int before = StopSignalCount();
  for (;;) {
    if (StopSignalCount() != before) return false;
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, 100);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line.empty();
    if (c == '\n') return true;
    line += c;
  }
}

}  // namespace kbx
