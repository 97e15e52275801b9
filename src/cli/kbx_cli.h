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
// Returns the exit status (0 all succeeded, 1 one failed, 2 usage error).
struct CliOptions;
class Xcp;

// The session on a port that start-up has opened: connect, each command in
// order, disconnect. Returns the exit status.
int RunSession(Xcp& xcp, const CliOptions& options, const Confirm& confirm);

int RunKbx(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const Confirm& confirm);

}  // namespace kbx
