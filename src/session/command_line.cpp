#include "session/command_line.h"

#include <algorithm>

namespace kbx {
namespace {

constexpr std::size_t kHelpWidth = 79;
// The help texts start in this column at the latest.
constexpr std::size_t kMaxHelpColumn = 26;

const OptionRow* FindLong(const OptionTable& table, const std::string& name) {
  const auto it = std::find_if(table.begin(), table.end(), [&name](const OptionRow& row) {
    return !row.name.empty() && row.name == name;
  });
  return it == table.end() ? nullptr : &*it;
}

const OptionRow* FindShort(const OptionTable& table, char name) {
  const auto it = std::find_if(table.begin(), table.end(), [name](const OptionRow& row) {
    return row.shortName != 0 && row.shortName == name;
  });
  return it == table.end() ? nullptr : &*it;
}

// The value of an option whose name has been read; `attached` is what came
// with it in the same argument ("--name=VALUE", "-xVALUE"), `i` the index of
// that argument.
std::optional<std::string> TakeValue(const OptionRow& row, std::optional<std::string> attached,
                                     const std::vector<std::string>& args, std::size_t& i) {
  const std::string name = "--" + row.name;
  switch (row.value) {
    case OptionValue::kNone:
      if (attached) throw UsageError(name + " takes no value");
      return std::nullopt;
    case OptionValue::kRequired:
      if (attached) return attached;
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      return args[++i];
    case OptionValue::kOptional:
      if (attached) return attached;
      if (row.takesNext && i + 1 < args.size() && row.takesNext(args[i + 1])) return args[++i];
      return std::nullopt;
  }
  return std::nullopt;
}

// "  -h, --help", "      --port N", "      --bad-checksum[=N]".
std::string LeftPart(const OptionRow& row) {
  std::string text = row.shortName ? std::string("  -") + row.shortName + ", " : std::string(6, ' ');
  text += "--" + row.name;
  if (row.value == OptionValue::kRequired) {
    text += " " + row.valueName;
  } else if (row.value == OptionValue::kOptional) {
    text += row.takesNext ? " [" + row.valueName + "]" : "[=" + row.valueName + "]";
  }
  return text;
}

// Appends `text` word by word, lines starting at `column` and ending before
// kHelpWidth; the first line continues `out` as it stands.
void Wrap(const std::string& text, std::size_t column, std::string& out) {
  std::size_t lineStart = out.rfind('\n') == std::string::npos ? 0 : out.rfind('\n') + 1;
  bool first = true;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    start = end + 1;
    if (word.empty()) continue;
    if (!first && out.size() - lineStart + 1 + word.size() > kHelpWidth) {
      out += '\n';
      lineStart = out.size();
      out.append(column, ' ');
    } else if (!first) {
      out += ' ';
    }
    out += word;
    first = false;
  }
  out += '\n';
}

}  // namespace

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

OptionRow Flag(std::string name, std::string help, char shortName) {
  OptionRow row;
  row.name = std::move(name);
  row.shortName = shortName;
  row.help = std::move(help);
  return row;
}

OptionRow Valued(std::string name, std::string valueName, std::string help, bool repeatable) {
  OptionRow row = Flag(std::move(name), std::move(help));
  row.value = OptionValue::kRequired;
  row.valueName = std::move(valueName);
  row.repeatable = repeatable;
  return row;
}

OptionRow OptionalValued(std::string name, std::string valueName, std::string help,
                         std::function<bool(const std::string& next)> takesNext) {
  OptionRow row = Valued(std::move(name), std::move(valueName), std::move(help));
  row.value = OptionValue::kOptional;
  row.takesNext = std::move(takesNext);
  return row;
}

OptionRow Heading(std::string text) {
  OptionRow row;
  row.help = std::move(text);
  return row;
}

OptionTable Concat(std::initializer_list<OptionTable> parts) {
  OptionTable table;
  for (const OptionTable& part : parts) table.insert(table.end(), part.begin(), part.end());
  return table;
}

CommandLine ParseCommandLine(const OptionTable& table, const std::vector<std::string>& args) {
  // --help and --version win over everything else on the line, mistakes
  // included: the user asks what the program takes.
  for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
    const std::string& arg = args[i];
    const bool valueOfThePrevious =
        i > 0 && args[i - 1].starts_with("--") && args[i - 1].find('=') == std::string::npos && [&] {
          const OptionRow* row = FindLong(table, args[i - 1].substr(2));
          return row && row->value == OptionValue::kRequired;
        }();
    if (valueOfThePrevious) continue;
    for (const char* name : {"help", "version"}) {
      const OptionRow* row = FindLong(table, name);
      if (row &&
          (arg == std::string("--") + name || (row->shortName && arg == std::string{'-', row->shortName})))
        return CommandLine{{GivenOption{name, std::nullopt}}, {}};
    }
  }
  // Without short options that are digits, "-1" is a negative number: an
  // operand, which the program can then call a wrong value rather than an
  // unknown option.
  const bool digitOptions = std::any_of(table.begin(), table.end(), [](const OptionRow& row) {
    return row.shortName >= '0' && row.shortName <= '9';
  });
  CommandLine line;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool negativeNumber = arg.size() >= 2 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
    if (optionsEnded || arg.size() < 2 || arg[0] != '-' || (negativeNumber && !digitOptions)) {
      line.operands.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg[1] == '-') {
      const std::size_t eq = arg.find('=');
      const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      const OptionRow* row = FindLong(table, name);
      if (!row) throw UsageError("unknown option " + Quoted("--" + name));
      std::optional<std::string> attached;
      if (eq != std::string::npos) attached = arg.substr(eq + 1);
      line.options.push_back({row->name, TakeValue(*row, attached, args, i)});
    } else {
      // One or more short options; the first that takes a value takes the rest.
      const std::size_t at = i;
      for (std::size_t k = 1; k < arg.size(); ++k) {
        const OptionRow* row = FindShort(table, arg[k]);
        if (!row) throw UsageError("unknown option " + Quoted(std::string("-") + arg[k]));
        std::optional<std::string> attached;
        if (row->value != OptionValue::kNone && k + 1 < arg.size()) attached = arg.substr(k + 1);
        line.options.push_back({row->name, TakeValue(*row, attached, args, i)});
        if (attached || i != at) break;
      }
    }
  }
  return line;
}

void RejectOperands(const CommandLine& line) {
  if (!line.operands.empty()) throw UsageError("unexpected argument " + Quoted(line.operands.front()));
}

std::string OptionHelp(const OptionTable& table) {
  // Two blanks after the widest left part that fits; wider ones have their
  // help on the next line.
  std::size_t column = 0;
  for (const OptionRow& row : table) {
    const std::size_t width = LeftPart(row).size() + 2;
    if (!row.name.empty() && width <= kMaxHelpColumn) column = std::max(column, width);
  }

  std::string out;
  for (const OptionRow& row : table) {
    if (row.name.empty()) {
      Wrap(row.help, 0, out);
      continue;
    }
    out += LeftPart(row);
    const std::size_t used = out.size() - (out.rfind('\n') == std::string::npos ? 0 : out.rfind('\n') + 1);
    if (used + 1 >= column) {
      out += '\n';
      out.append(column, ' ');
    } else {
      out.append(column - used, ' ');
    }
    Wrap(row.repeatable ? row.help + "; repeatable" : row.help, column, out);
  }
  return out;
}

}  // namespace kbx
