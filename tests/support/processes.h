#pragma once

// The programs as separate processes, for the tests that need what only a
// process has: its own signals, its own standard output, its exit status.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_folder.h"

extern char** environ;

namespace kbx::test {

// Where a child's standard input, output and error come from and go.
struct Streams {
  std::string stdoutPath;   // a file to write to (e.g. /dev/full); empty for none of the below
  int stdoutFd = -1;        // a descriptor of ours to give as its stdout
  std::string stderrPath;   // a file to write to; empty: ours
  std::string stdinPath{};  // empty: ours
};

inline pid_t Spawn(const std::vector<std::string>& args, const Streams& streams = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!streams.stdinPath.empty())
    posix_spawn_file_actions_addopen(&actions, 0, streams.stdinPath.c_str(), O_RDONLY, 0);
  if (!streams.stdoutPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, streams.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  } else if (streams.stdoutFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, streams.stdoutFd, 1);
  }
  if (!streams.stderrPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, streams.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  }
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

// The raw wait status.
inline int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return status;
}

// A program run to its end: its exit status (128 + N when signal N ended
// it) and what it wrote.
struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `args` with stdin from /dev/null and collects what it writes.
// `firstLine`, when given, is called once stdout holds a whole line, with the
// program's process id (to stop a program that serves until told).
inline ProgramRun RunProgram(const std::vector<std::string>& args,
                             const std::function<void(pid_t, const std::string&)>& firstLine = {}) {
  const TempFolder folder;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  Streams streams;
  streams.stdinPath = "/dev/null";
  streams.stdoutFd = out[1];
  streams.stderrPath = folder.path + "/err";
  const pid_t pid = Spawn(args, streams);
  close(out[1]);
  ProgramRun run;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
    const bool told = run.out.find('\n') != std::string::npos;
    run.out.append(buffer, static_cast<std::size_t>(n));
    if (firstLine && !told && run.out.find('\n') != std::string::npos)
      firstLine(pid, run.out.substr(0, run.out.find('\n')));
  }
  close(out[0]);
  const int status = Wait(pid);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.err = ReadFile(streams.stderrPath);
  return run;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The data bytes of every request frame in a simulator log ("HH:MM:SS.mmm AB
// 04 78 20 03 00 B6" gives 78 20 03 00).
inline std::vector<std::vector<std::uint8_t>> RequestsInLog(const std::string& path) {
  std::vector<std::vector<std::uint8_t>> requests;
  for (const std::string& line : Lines(ReadFile(path))) {
    std::istringstream fields(line);
    std::string stamp;
    fields >> stamp;
    std::vector<std::uint8_t> frame;
    for (unsigned byte = 0; fields >> std::hex >> byte;) frame.push_back(static_cast<std::uint8_t>(byte));
    if (frame.size() >= 3) requests.emplace_back(frame.begin() + 2, frame.end() - 1);
  }
  return requests;
}

// The simulator program on its own pseudo-terminal, logging every request.
class SimulatorProcess {
 public:
  SimulatorProcess(const std::string& program, const std::string& logPath, std::vector<std::string> options) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> args{program, "--log", logPath};
    args.insert(args.end(), options.begin(), options.end());
    Streams streams;
    streams.stdoutFd = fds[1];
    pid_ = Spawn(args, streams);
    close(fds[1]);
    FILE* out = fdopen(fds[0], "r");
    char line[512] = {};
    if (!fgets(line, sizeof line, out)) throw std::runtime_error("the simulator printed no device");
    fclose(out);
    device_ = line;
    while (!device_.empty() && device_.back() == '\n') device_.pop_back();
  }
  ~SimulatorProcess() {
    kill(pid_, SIGTERM);
    Wait(pid_);
  }
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  const std::string& Device() const { return device_; }

 private:
  pid_t pid_ = 0;
  std::string device_;
};

// Waits (up to a minute) until the log holds a request starting with
// `command`; false when none came.
inline bool AwaitRequest(const std::string& logPath, std::uint8_t command) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (std::chrono::steady_clock::now() < end) {
    for (const auto& r : RequestsInLog(logPath)) {
      if (!r.empty() && r[0] == command) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace kbx::test
