#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace kbx {

// Whom the module count is confirmed with.
struct Confirm {
  bool terminal = false;                                 // whether there is a terminal to ask on
  std::function<bool(const std::string& question)> ask;  // true for Yes
};

// The command line front end: start-up, connect, each command in order,
// disconnect. Board lines go to `out`, messages about the run to `err`.
// Returns the exit status (0 all succeeded, 1 one failed or the output could
// not be written, 2 usage error, 128 + N when signal N stopped the session).
struct CliOptions;
struct SessionReport;
class Xcp;

// The session on a port that start-up has opened: connect, each command in
// order, disconnect. A stop signal lets the running command end; then no
// other command runs, the UPS is disconnected and the status is 128 + the
// signal's number. Returns the exit status; the lines for stderr (which
// commands failed, what a signal interrupted) go to the report's errors.
int RunSession(Xcp& xcp, const CliOptions& options, const Confirm& confirm, SessionReport* report = nullptr);

int RunKbx(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const Confirm& confirm);

}  // namespace kbx
