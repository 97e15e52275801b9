#pragma once

#include <string>

namespace kbx {

// SIGINT, SIGTERM and SIGHUP as a request to stop, taken when it is safe: the
// handlers only note the signal, and the program looks at StopSignal() between
// its steps. The fixed pauses keep their length when a signal arrives, and the
// calls on the port are resumed, so that nothing half-written reaches the UPS.
enum class StopMode {
  // A second signal ends the program at once, unless a module update is in
  // progress: then it only says again on stderr that the update is finished first.
  kSecondSignalEnds,
  // Every signal is only noted (the desktop program holds its close itself).
  kNoteEvery,
};

// Installs the handlers. `program` prefixes the message a second signal
// writes during an update ("kbx: ...").
void InstallStopSignals(StopMode mode, const std::string& program);

// The first stop signal received (SIGINT, SIGTERM or SIGHUP), 0 for none.
int StopSignal();

// How many stop signals have arrived so far.
int StopSignalCount();

// Forgets the signals received (for a new session in the same process).
void ClearStopSignals();

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
std::string SignalName(int signal);

// While one exists, a module update is in progress and a second signal does
// not end the program.
class UpdateInProgress {
 public:
  UpdateInProgress();
  ~UpdateInProgress();
  UpdateInProgress(const UpdateInProgress&) = delete;
  UpdateInProgress& operator=(const UpdateInProgress&) = delete;
};

// A write to a pipe whose reader has gone fails with an error instead of
// ending the program.
void IgnoreBrokenPipes();

// Standard input, output and error that are closed are reopened on /dev/null
// for reading only, so that no port or file the program opens later takes
// their numbers, and writes to them fail as they should.
void ReserveStandardDescriptors();

// Whether standard input is a terminal a question can be answered on.
bool InputIsTerminal();

// Reads one line from standard input for an answer on the terminal. False at
// the end of input or when a stop signal arrives while waiting.
bool ReadAnswerLine(std::string& line);

}  // namespace kbx
