// The command lines of the three programs: the generic parser, the options
// they share (one set of messages, exit status 2 before anything is opened),
// and the rig a session's options build.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/desktop.h"
#include "cli/cli_options.h"
#include "link/protocol.h"
#include "link/trace.h"
#include "platform/pseudo_terminal.h"
#include "platform/serial_port.h"
#include "platform/version.h"
#include "session/command_line.h"
#include "session/session_rig.h"
#include "support/processes.h"
#include "support/temp_folder.h"

namespace kbx {
namespace {

using test::ProgramRun;
using test::RunProgram;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// ------------------------------------------------------------ the generic parser

OptionTable TestTable() {
  OptionRow out = Valued("out", "FILE", "write to FILE");
  out.shortName = 'o';
  return {Flag("yes", "say yes", 'y'),
          Valued("port", "N", "the port"),
          out,
          OptionalValued("simulate", "TYPE", "a simulated unit of TYPE",
                         [](const std::string& next) { return next == "290"; }),
          OptionalValued("bad", "N", "the first N bad"),
          Flag("help", "show this help", 'h')};
}

// The options as "name" or "name=value", then the operands after a "|".
std::vector<std::string> Flatten(const CommandLine& line) {
  std::vector<std::string> items;
  for (const GivenOption& option : line.options)
    items.push_back(option.value ? option.name + "=" + *option.value : option.name);
  items.emplace_back("|");
  items.insert(items.end(), line.operands.begin(), line.operands.end());
  return items;
}

TEST(CommandLine, OptionsValuesAndOperands) {
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> rows = {
      {{"--port", "2", "connect", "--port=", "--port=a=b"}, {"port=2", "port=", "port=a=b", "|", "connect"}},
      {{"--port", "--yes"}, {"port=--yes", "|"}},  // a required value is the next argument, whatever it is
      {{"a", "-y", "b", "--", "--yes", "-", "-y"}, {"yes", "|", "a", "b", "--yes", "-", "-y"}},
      {{"-hy", "-ofile", "-o", "f2", "-yox"}, {"help", "yes", "out=file", "out=f2", "yes", "out=x", "|"}},
      {{"--simulate", "290", "--simulate", "291", "--simulate=x"},
       {"simulate=290", "simulate", "simulate=x", "|", "291"}},
      {{"--bad", "3", "--bad=4", "modules", "-1"}, {"bad", "bad=4", "|", "3", "modules", "-1"}},
      {{"--out", "/tmp/\xff\xfe", "\x80"}, {"out=/tmp/\xff\xfe", "|", "\x80"}},
  };
  for (const auto& [args, expected] : rows) {
    SCOPED_TRACE(::testing::PrintToString(args));
    EXPECT_EQ(Flatten(ParseCommandLine(TestTable(), args)), expected);
  }
}

TEST(CommandLine, HelpShowsEveryRowShortNamesAndValueFormsIncluded) {
  OptionTable table = TestTable();
  table.insert(table.begin() + 1, Heading("Group:"));
  table.push_back(
      Valued("com", "N=DEVICE",
             "use DEVICE for COM N; a long text that goes on past the end of the line and is wrapped "
             "there",
             true));
  table.push_back(Valued("a-very-long-option-name", "VALUE", "its text on a line of its own"));
  EXPECT_EQ(OptionHelp(table),
            "  -y, --yes              say yes\n"
            "Group:\n"
            "      --port N           the port\n"
            "  -o, --out FILE         write to FILE\n"
            "      --simulate [TYPE]  a simulated unit of TYPE\n"
            "      --bad[=N]          the first N bad\n"
            "  -h, --help             show this help\n"
            "      --com N=DEVICE     use DEVICE for COM N; a long text that goes on past\n"
            "                         the end of the line and is wrapped there; repeatable\n"
            "      --a-very-long-option-name VALUE\n"
            "                         its text on a line of its own\n");
}

// ------------------------------------------------------------ the shared options

// What the three programs answer to a command line that is wrong, the
// generic parser's mistakes included: a row for each message.
struct BadLine {
  std::vector<std::string> args;
  std::string message;
  std::string programs;  // which answer so: k kbx, d kbx-configurator, s kbx-ups-sim
};

TEST(SharedOptions, EveryProgramGivesTheSameMessageAndStatus2AndOpensNothing) {
  const std::string rates =
      "110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400, 56000, 57600, 115200, 128000, "
      "256000";
  const std::vector<BadLine> rows = {
      {{"--frobnicate"}, "unknown option \"--frobnicate\"", "kds"},
      {{"--por", "2"}, "unknown option \"--por\"", "k"},
      {{"-yx"}, "unknown option \"-x\"", "k"},
      {{"--help=1"}, "--help takes no value", "kds"},
      {{"--access-code=12345G"}, "--access-code needs six hexadecimal digits", "kds"},
      {{"--access-code"}, "--access-code needs a value", "kds"},
      {{"--simulate", "123456"}, "--simulate needs a UPS type code from 0 to 65535", "kd"},
      {{"--type", "65536"}, "--type needs a UPS type code from 0 to 65535", "s"},
      {{"--com", "x=/dev/null"}, "--com needs N=DEVICE with N from 1 to 32767, not \"x=/dev/null\"", "kd"},
      {{"--trace="}, "--trace needs a file name", "kd"},
      {{"--trace"}, "--trace needs a value", "kd"},
      {{"--port", "2"}, "unknown option \"--port\"", "ds"},
      {{"--port", "0"}, "--port needs a COM port number from 1 to 32767, not \"0\"", "k"},
      {{"--baud", "12345"}, "--baud needs a rate the port takes (" + rates + "), not \"12345\"", "k"},
      {{"connect"}, "unexpected argument \"connect\"", "ds"},
      {{"--", "--yes"}, "unknown command \"--yes\"", "k"},
      {{}, "no command given", "k"},
      {{"modules", "3"}, "modules needs a COUNT of 0, 1 or 2", "k"},
      {{"ports", "connect"}, "ports is given alone", "k"},
      {{"ports", "-y"}, "ports does not use --yes", "k"},
      {{"--split", "0"}, "--split needs a number from 1 to 255, not \"0\"", "s"},
      {{"--meter-format", "1FF"},
       "--meter-format needs a hexadecimal number from 00 to FF, not \"1FF\"",
       "s"},
      {{"--trickle", "A0=300-100"},
       "--trickle needs MIN-MAX with MIN no more than MAX, not \"300-100\"",
       "s"},
      {{"--long-answer", "36=17781"}, "--long-answer needs a number from 0 to 17780, not \"17781\"", "s"},
      {{"--listen", "telnet:7001"}, "--listen needs rfc2217:PORT or tcp:PORT, not \"telnet:7001\"", "s"},
      {{"--listen", "tcp:65536"}, "--listen needs a number from 0 to 65535, not \"65536\"", "s"},
      {{"--listen", "tcp:0", "--link", "/tmp/x"},
       "--listen and --link do not go together: a network port has no device to link to",
       "s"},
      {{"--listen", "rfc2217:0", "--unplug", "A0"},
       "--listen and --unplug do not go together: a network port cannot be unplugged",
       "s"},
      {{"--com", "3=rfc2217://10.1.2.3", "connect"},
       "--com: \"rfc2217://10.1.2.3\" is no network port: expected rfc2217://HOST:PORT",
       "k"},
  };
  const TempFolder dir;
  const std::string trace = dir.path + "/trace.txt";
  const std::vector<std::tuple<std::string, std::string, char>> programs = {
      {"kbx", KBX_BIN, 'k'}, {"kbx-configurator", KBX_DESKTOP_BIN, 'd'}, {"kbx-ups-sim", KBX_SIM_BIN, 's'}};
  for (const BadLine& row : rows) {
    for (const auto& [name, path, letter] : programs) {
      if (row.programs.find(letter) == std::string::npos) continue;
      SCOPED_TRACE(name + " " + ::testing::PrintToString(row.args));
      std::vector<std::string> args = row.args;
      // A trace file to be opened, were the command line taken.
      if (name != "kbx-ups-sim") args.insert(args.begin(), {"--trace", trace});
      args.insert(args.begin(), path);
      const ProgramRun run = RunProgram(args);
      EXPECT_EQ(run.status, 2);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, name + ": " + row.message + "\nTry '" + name + " --help'.\n");
      EXPECT_FALSE(std::filesystem::exists(trace));
    }
  }
}

TEST(SharedOptions, KbxRefusesAnUnconfirmedModuleCountWithoutATerminal) {
  const ProgramRun run = RunProgram({KBX_BIN, "--simulate", "modules", "1"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "kbx: there is no terminal to confirm the module count on; give --yes to apply it\n");
}

TEST(SharedOptions, TheDesktopProgramWithoutADisplaySaysSoInOneLine) {
  // None at all, and one that nobody serves.
  for (const char* display : {"", "DISPLAY=:4711"}) {
    std::vector<std::string> args{"/usr/bin/env",    "-u", "DISPLAY",        "-u",
                                  "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"};
    if (*display) args.emplace_back(display);
    args.insert(args.end(), {KBX_DESKTOP_BIN, "--simulate"});
    const ProgramRun run = RunProgram(args);
    EXPECT_EQ(run.status, 1) << display;
    EXPECT_EQ(run.err, "kbx-configurator: no display; use kbx for the command line\n") << display;
    EXPECT_EQ(run.out, "") << display;
  }
}

// The access code from a file or the environment, which other users cannot
// see in the process list; the command line's --access-code still comes first.
TEST(SharedOptions, TheAccessCodeFromAFileOrTheEnvironment) {
  const TempFolder temp;
  const std::string privateFile = temp.path + "/private", sharedFile = temp.path + "/shared",
                    badFile = temp.path + "/bad";
  WriteFile(privateFile, "a1b2c3\r\nignored\n");
  WriteFile(sharedFile, "0A0B0C");
  WriteFile(badFile, "a1b2c\n");
  ::chmod(privateFile.c_str(), 0600);
  ::chmod(sharedFile.c_str(), 0644);
  struct Case {
    std::vector<std::string> args;
    const char* environment;  // KBX_ACCESS_CODE, nullptr for none
    std::optional<AccessCode> code;
    const char* problem;  // the usage error or the warning; nullptr for none
  };
  const Case cases[] = {
      {{"--access-code-file", privateFile}, "0F0F0F", AccessCode{0xA1, 0xB2, 0xC3}, nullptr},
      {{"--access-code-file", sharedFile}, nullptr, AccessCode{0x0A, 0x0B, 0x0C}, "mode 0644); chmod 600 it"},
      {{}, "0f0e0d", AccessCode{0x0F, 0x0E, 0x0D}, nullptr},
      {{"--access-code", "010203"}, "0f0e0d", AccessCode{0x01, 0x02, 0x03}, nullptr},
      {{}, nullptr, std::nullopt, nullptr},
      {{}, "0f0e0", std::nullopt, "KBX_ACCESS_CODE needs six hexadecimal digits"},
      {{"--access-code-file", badFile}, nullptr, std::nullopt, "first line is six hexadecimal digits"},
      {{"--access-code-file", temp.path + "/none"}, nullptr, std::nullopt, "No such file or directory"},
      {{"--access-code-file", privateFile, "--access-code", "010203"}, nullptr, std::nullopt, "not both"},
  };
  for (const Case& c : cases) {
    const std::string what = ::testing::PrintToString(c.args) + " " + (c.environment ? c.environment : "");
    if (c.environment) {
      ::setenv(kAccessCodeVariable, c.environment, 1);
    } else {
      ::unsetenv(kAccessCodeVariable);
    }
    SessionOptions options;
    std::string error;
    ASSERT_TRUE(ParseDesktopOptions(c.args, options, error)) << what << error;
    try {
      ResolveAccessCode(options);
      EXPECT_EQ(options.accessCode, c.code) << what;
      if (c.problem) {
        ASSERT_EQ(options.warnings.size(), 1u) << what;
        EXPECT_THAT(options.warnings[0], HasSubstr(c.problem)) << what;
      } else {
        EXPECT_TRUE(options.warnings.empty()) << what;
      }
    } catch (const UsageError& e) {
      EXPECT_FALSE(c.code) << what << e.what();
      EXPECT_THAT(e.what(), HasSubstr(c.problem ? c.problem : "(no error)")) << what;
    }
  }
  ::unsetenv(kAccessCodeVariable);
}

TEST(SharedOptions, HelpAndVersionOfEveryProgram) {
  // Its rows are the table's (OptionHelp above; the man pages name each).
  const std::vector<std::pair<std::string, std::string>> programs = {
      {"kbx", KBX_BIN}, {"kbx-configurator", KBX_DESKTOP_BIN}, {"kbx-ups-sim", KBX_SIM_BIN}};
  for (const auto& [name, path] : programs) {
    SCOPED_TRACE(name);
    // Alone, or among mistakes: help and version win over everything else.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{path, "--help"}, {path, "--bogus", "--port", "x", "-h", "dance"}}) {
      const ProgramRun run = RunProgram(args);
      EXPECT_EQ(run.status, 0) << args.back();
      EXPECT_THAT(run.out, AllOf(StartsWith("Usage: " + name + " [OPTION]..."), HasSubstr("  -h, --help ")));
      EXPECT_EQ(run.err, "");
      std::istringstream text(run.out);
      for (std::string line; std::getline(text, line);) EXPECT_LE(line.size(), 80u) << line;
    }
    const ProgramRun version = RunProgram({path, "--com", "--version", "--version", "--split", "0"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, name + " " + kProgramVersion + "\n");
  }
}

// Every shared option, read alike by kbx and kbx-configurator (both forms of
// a value are the generic parser's, above).
TEST(SharedOptions, AreReadAlikeByBothPrograms) {
  const std::vector<std::string> shared = {"--com",         "3=/dev/ttyUSB0", "--com=4=/dev/\xff\xfe",
                                           "--access-code", "a1B2c3",         "--simulate=292",
                                           "--trace",       "/tmp/t\xe9.txt"};
  std::string error;
  SessionOptions desktop;
  ASSERT_TRUE(ParseDesktopOptions(shared, desktop, error)) << error;
  std::vector<std::string> args = shared;
  args.insert(args.end(), {"--port=3", "--baud", "9600", "-y", "connect", "--", "modules", "0"});
  CliOptions cli;
  ASSERT_TRUE(ParseCliOptions(args, cli, error)) << error;
  for (const SessionOptions* o : {&desktop, &cli.session}) {
    EXPECT_THAT(o->mappings, ElementsAre(std::pair{3, std::string("/dev/ttyUSB0")},
                                         std::pair{4, std::string("/dev/\xff\xfe")}));
    EXPECT_EQ(o->accessCode, (std::array<std::uint8_t, 3>{0xA1, 0xB2, 0xC3}));
    EXPECT_EQ(o->simulateType, 292);
    EXPECT_EQ(o->trace, "/tmp/t\xe9.txt");
  }
  EXPECT_EQ(desktop.port, 1);
  EXPECT_EQ(std::tie(cli.session.port, cli.session.baud, cli.yes), std::tuple(3, 9600, true));
  ASSERT_EQ(cli.commands.size(), 2u);
  EXPECT_EQ(std::tie(cli.commands[1].kind, cli.commands[1].count), std::tuple(CliCommand::kModules, 0));
}

// ------------------------------------------------------------ the rig

// --simulate puts the simulator on the session's port, and the trace records
// it; a relative device is taken from the folder the program started in, for
// the check that it exists and for the open alike.
TEST(SessionRig, PutsTheSimulatorOnTheSessionsPortOpensRelativeDevicesAndTraces) {
  const TempFolder dir;
  PseudoTerminal pty;
  std::filesystem::create_directory(dir.path + "/sub");
  std::filesystem::create_symlink(pty.SlavePath(), dir.path + "/sub/ups");
  const std::string trace = dir.path + "/trace.txt";
  CliOptions options;
  std::string error;
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path);
  const bool parsed = ParseCliOptions(
      {"--com", "1=sub/ups", "--port", "3", "--simulate=280", "--trace", trace, "connect"}, options, error);
  std::filesystem::current_path(before);
  ASSERT_TRUE(parsed) << error;
  EXPECT_THAT(options.session.mappings, ElementsAre(std::pair{1, dir.path + "/sub/ups"}));
  SystemClock clock;
  {
    SessionRig rig(options.session, clock);
    EXPECT_THAT(rig.Ports().Device(3), StartsWith("/dev/pts/"));
    for (const int number : {1, 3}) {
      PortRequest request;
      request.commPort = number;
      rig.Port().Open(request);
      EXPECT_TRUE(rig.Port().IsOpen()) << number;
      rig.Port().Write({0xAB, 0x01, 0xA0, 0xB4});
      rig.Port().Close();
    }
  }
  EXPECT_THAT(ReadFile(trace),
              AllOf(HasSubstr("trace start"), HasSubstr("open COM1 (" + dir.path + "/sub/ups)"),
                    HasSubstr("open COM3 (/dev/pts/"), HasSubstr("AB 01 A0 B4"), HasSubstr("close COM3"),
                    ::testing::ContainsRegex("trace end [0-9:.]+\n$")));
}

// A trace file that cannot be made ends the program with 1 and the reason:
// a FIFO nobody reads is one, rather than a wait for ever.
TEST(SessionRig, ATraceFifoThatNobodyReadsEndsTheProgramWithStatus1) {
  const TempFolder dir;
  SessionOptions options;
  options.trace = dir.path + "/fifo";
  ASSERT_EQ(::mkfifo(options.trace.c_str(), 0600), 0);
  SystemClock clock;
  try {
    SessionRig rig(options, clock);
    ADD_FAILURE() << "built";
  } catch (const SessionError& e) {
    EXPECT_EQ(e.ExitStatus(), 1);
    EXPECT_EQ(e.what(), "cannot write the trace file \"" + options.trace + "\": a FIFO that nobody reads");
  }
}

}  // namespace
}  // namespace kbx
