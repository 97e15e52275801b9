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

// With kSecondSignalEnds: whether a second signal outside an update asks the
// program to stop now instead of ending it, so that it can still report what
// it did (one JSON object) and release what it holds. The fixed pause it
// comes in ends at once and throws StopNow, as does every pause after it.
void SetSecondSignalStopsNow(bool stopsNow);

// Thrown by a fixed pause of the thread that installed the handlers once a
// second signal asked to stop now. Not a std::exception: nothing but the
// front end's outermost handler catches it.
struct StopNow {};

// Throws StopNow when a second signal has asked to stop now (on the thread
// that installed the handlers; elsewhere it does nothing).
void ThrowIfStopNow();

// What the first signal writes on stderr at once, while the running step
// finishes ("kbx: finishing connect; press Ctrl-C again to stop now"); empty
// for nothing. Kept until replaced.
void SetStopNotice(const std::string& text);

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
