#pragma once

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/descriptor_output.h"
#include "platform/port_lock.h"
#include "platform/port_map.h"
#include "session/session_options.h"

namespace kbx {

class Clock;
class PtySimulator;
class MappedPort;
class SerialPort;
class TracingPort;

// A session that cannot be set up: the program says why and ends with the
// exit status given.
class SessionError : public std::runtime_error {
 public:
  SessionError(const std::string& message, int exitStatus)
      : std::runtime_error(message), exitStatus_(exitStatus) {}
  int ExitStatus() const { return exitStatus_; }

 private:
  int exitStatus_;
};

// The port map of the options: the machine's serial devices (SystemRoot),
// the COM file with a number for each new adapter added to it, and the --com
// mappings over both. What is wrong in the COM file, and a number that could
// not be kept in it, go to `notes`, one line each (without the program's name).
PortMap SessionPortMap(const SessionOptions& options, std::vector<std::string>* notes = nullptr);

// What a session with a UPS runs on, built from its options: the port map,
// the simulated UPS on the session's COM number with --simulate (started),
// the serial port, and with --trace the trace file and the tracing port in
// front of the serial port. Nothing is opened on the line yet: start-up does
// that on Port().
class SessionRig {
 public:
  // `clock` times the trace and must outlive the rig. Throws SessionError
  // (status 1) when the trace file cannot be made or the simulator cannot
  // start.
  SessionRig(const SessionOptions& options, Clock& clock);
  ~SessionRig();
  SessionRig(const SessionRig&) = delete;
  SessionRig& operator=(const SessionRig&) = delete;

  // The port the session talks through (the tracing one with --trace).
  SerialPort& Port();
  const PortMap& Ports() const { return ports_; }
  // What the COM file got wrong, or could not keep, one line each.
  const std::vector<std::string>& Notes() const { return notes_; }
  // The trace file with --trace, else nothing.
  std::ostream* TraceFile() { return traceFile_ ? &traceFile_->Stream() : nullptr; }
  // Writes the trace's closing line (with --trace), before its file is checked.
  void FinishTrace();

 private:
  // Destroyed in reverse: the ports close before the trace file and the
  // simulator go.
  std::vector<std::string> notes_;
  PortMap ports_;
  std::unique_ptr<PtySimulator> simulator_;
  std::unique_ptr<OutputFile> traceFile_;
  std::unique_ptr<MappedPort> serial_;
  std::unique_ptr<TracingPort> traced_;
};

}  // namespace kbx
