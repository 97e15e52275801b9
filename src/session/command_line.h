#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kbx {

// A mistake in the command line: the program says so, points to --help and
// exits with status 2 before it opens anything.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether an option takes a value.
enum class OptionValue {
  kNone,      // --yes
  kRequired,  // --port N, --port=N
  kOptional,  // --bad-checksum[=N]; or --simulate [TYPE] with a takesNext rule
};

// One row of a program's option table: an option, or a heading over the
// options that follow it in the help (a row without a name).
struct OptionRow {
  std::string name;    // the long name without its dashes: "access-code"
  char shortName = 0;  // 'y' for -y; 0 for none
  OptionValue value = OptionValue::kNone;
  std::string valueName;  // "HEX6", shown in the help
  std::string help;       // what it does, one sentence; wrapped in the help
  bool repeatable = false;
  // For an optional value: whether the next argument is this option's value
  // when none was given with "=" (--simulate 290). Without one, an optional
  // value is given only as --name=VALUE.
  std::function<bool(const std::string& next)> takesNext;
};

// The rows of a table.
OptionRow Flag(std::string name, std::string help, char shortName = 0);
OptionRow Valued(std::string name, std::string valueName, std::string help, bool repeatable = false);
OptionRow OptionalValued(std::string name, std::string valueName, std::string help,
                         std::function<bool(const std::string& next)> takesNext = {});
OptionRow Heading(std::string text);

using OptionTable = std::vector<OptionRow>;

// The rows of `parts`, one table after the other.
OptionTable Concat(std::initializer_list<OptionTable> parts);

// An option as given: its long name and its value, if any.
struct GivenOption {
  std::string name;
  std::optional<std::string> value;
};

// The command line read against a table: the options in the order given and
// the other arguments (operands) in theirs. Options and operands may be mixed;
// "--" ends the options; "-" is an operand, and so is a negative number ("-1")
// unless the table has digits for short options. Arguments are bytes and are
// passed on unchanged.
struct CommandLine {
  std::vector<GivenOption> options;
  std::vector<std::string> operands;
};

// Reads `args` (without the program name). Long options as --name VALUE or
// --name=VALUE; short ones as -x VALUE or -xVALUE, flags bundled as -hy.
// Throws UsageError for an unknown option, a missing value, or a value given
// to an option that takes none.
CommandLine ParseCommandLine(const OptionTable& table, const std::vector<std::string>& args);

// Throws UsageError naming the first operand, for programs that take none.
void RejectOperands(const CommandLine& line);

// The options part of --help: one entry per row of the table, short names
// included, help texts wrapped to the terminal's customary 80 columns.
std::string OptionHelp(const OptionTable& table);

// The text in double quotes, for a message: "abc".
std::string Quoted(const std::string& text);

}  // namespace kbx
