#pragma once

// The desktop program driven by tests/desktop_signal_probe.cpp, as a child
// process whose stdout the test reads line by line.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/processes.h"

namespace kbx::test {

class Probe {
 public:
  explicit Probe(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    test::Streams streams;
    streams.stdoutFd = fds[1];
    std::vector<std::string> all{KBX_DESKTOP_PROBE};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = test::Spawn(all, streams);
    close(fds[1]);
    out_ = fds[0];
  }
  ~Probe() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      test::Wait(pid_);
    }
    close(out_);
  }

  // The next line it writes; "" at its end or after `seconds`.
  std::string Line(int seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      if (const auto eol = buffer_.find('\n'); eol != std::string::npos) {
        std::string line = buffer_.substr(0, eol);
        buffer_.erase(0, eol + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
              .count();
      pollfd pfd{out_, POLLIN, 0};
      if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) return "";
      char chunk[256];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  // Reads until the line comes; false when it did not.
  bool AwaitLine(const std::string& wanted) {
    for (std::string line = Line(); !line.empty(); line = Line()) {
      if (line == wanted) return true;
    }
    return false;
  }
  void Signal(int signal) { kill(pid_, signal); }
  // Reads to the end of its output (nothing for 5 s counts as the end); the
  // exit status once it has ended, -1 when a signal ended it, -2 while it runs.
  int ExitStatus() {
    while (!Line(5).empty()) {
    }
    int status = 0;
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::seconds(2);  // its output closes a moment before it ends
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
      if (std::chrono::steady_clock::now() > end) return -2;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = 0;
  int out_ = -1;
  std::string buffer_;
};

}  // namespace kbx::test
