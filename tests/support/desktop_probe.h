#pragma once

// The desktop program driven by tests/desktop_signal_probe.cpp, as a child
// process whose stdout the test reads line by line. A program that hangs is
// ended by the test's time limit.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/processes.h"

namespace kbx::test {

class Probe {
 public:
  explicit Probe(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    Streams streams;
    streams.stdoutFd = fds[1];
    std::vector<std::string> all{KBX_DESKTOP_PROBE};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = Spawn(all, streams);
    close(fds[1]);
    out_ = fdopen(fds[0], "r");
  }
  ~Probe() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait(pid_);
    }
    fclose(out_);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  // The next line it writes; "" at its end.
  std::string Line() {
    char line[4096];
    if (fgets(line, sizeof line, out_) == nullptr) return "";
    std::string text = line;
    if (text.ends_with('\n')) text.pop_back();
    return text;
  }
  // Reads until the line comes; false when it did not.
  bool AwaitLine(const std::string& wanted) {
    for (std::string line = Line(); !line.empty(); line = Line()) {
      if (line == wanted) return true;
    }
    return false;
  }
  void Signal(int signal) { kill(pid_, signal); }
  // Reads to the end of its output; its exit status, -1 when a signal ended it.
  int ExitStatus() {
    while (!Line().empty()) {
    }
    const int status = Wait(pid_);
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = 0;
  FILE* out_ = nullptr;
};

}  // namespace kbx::test
