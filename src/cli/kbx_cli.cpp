#include "cli/kbx_cli.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>

#include "cli/cli_options.h"
#include "cli/console_host.h"
#include "cli/json_report.h"
#include "cli/output_guard.h"
#include "cli/scan_report.h"
#include "link/command_guard.h"
#include "link/numbers.h"
#include "platform/clock.h"
#include "platform/line_settings.h"
#include "platform/port_lock.h"
#include "platform/port_map.h"
#include "platform/stop_signals.h"
#include "session/session_rig.h"
#include "ups/kbx_config.h"
#include "ups/runtime.h"
#include "ups/startup.h"

namespace kbx {

namespace {

bool InfoCommand(Xcp& xcp) {
  XcpHost& host = xcp.Host();
  if (xcp.UpsType() < 1) {
    host.AddToBoard("No UPS identified");
    return false;
  }
  host.AddToBoard("UPS type: " + std::to_string(xcp.UpsType()));
  for (int processor = 1; processor <= 5; ++processor) {
    const FirmwareVersion version = xcp.ProcessorVersion(processor);
    if (version.Present())
      host.AddToBoard("Processor " + std::to_string(processor) + " version: " + version.Text());
  }
  const auto& numbers = xcp.MeterNumbers();
  const auto& formats = xcp.MeterFormats();
  std::string meters;
  for (std::size_t k = 0; k < numbers.size() && k < formats.size(); ++k) {
    meters += (k ? ", " : "") + std::to_string(numbers[k]) + " (format " +
              Hex2(static_cast<std::uint8_t>(formats[k])) + ")";
  }
  host.AddToBoard("Meters reported: " + (meters.empty() ? std::string("none") : meters));
  host.AddToBoard("Meter map length: " + std::to_string(xcp.MeterMapLength()) +
                  ", flag map length: " + std::to_string(xcp.FlagMapLength()) +
                  ", type block length: " + std::to_string(xcp.TypeBlockLength()) +
                  ", third map length: " + std::to_string(xcp.ThirdMapLength()));
  return true;
}

// How a modules command ended.
enum class ModulesOutcome { kLinkDown, kNotSupported, kNotConfirmed, kFailed, kDone };

// The outcome as --json names it.
std::string ModulesOutcomeName(ModulesOutcome outcome) {
  switch (outcome) {
    case ModulesOutcome::kLinkDown:
      return "link down";
    case ModulesOutcome::kNotSupported:
      return "not supported";
    case ModulesOutcome::kNotConfirmed:
      return "not confirmed";
    case ModulesOutcome::kFailed:
      return "failed";
    case ModulesOutcome::kDone:
      return "done";
  }
  return "";
}

// Tells the UPS how many modules are attached, once the user agreed; `update`
// says how the update went once it ran. `outcome` follows the steps, so an
// error that ends the command leaves it at the step it had reached.
bool ModulesCommand(Xcp& xcp, std::int16_t count, bool yes, const Confirm& confirm, ModulesOutcome& outcome,
                    std::optional<KbxUpdateOutcome>& update) {
  XcpHost& host = xcp.Host();
  host.BoardClear();
  if (!xcp.LinkUp()) {
    host.AddToBoard("Link Down");
    outcome = ModulesOutcome::kLinkDown;
    return false;
  }
  outcome = ModulesOutcome::kNotSupported;
  const KbxChoices choices = DetermineKbxSupport(xcp);
  const std::string text = std::to_string(count);
  if (!choices.applyEnabled ||
      std::find(choices.items.begin(), choices.items.end(), text) == choices.items.end()) {
    return false;
  }
  host.BoardClear();
  outcome = ModulesOutcome::kNotConfirmed;
  if (!yes) {
    if (!confirm.ask || !confirm.ask(KbxConfirmText(text))) return false;
  }
  // From here on a signal waits for the last write.
  const UpdateInProgress updating;
  outcome = ModulesOutcome::kFailed;
  update = ApplyKbxConfiguration(xcp, text, choices.enableTest);
  if (update->Done()) outcome = ModulesOutcome::kDone;
  return update->Done();
}

std::string CommandName(const CliCommand& command) {
  switch (command.kind) {
    case CliCommand::kConnect:
      return "connect";
    case CliCommand::kRuntime:
      return "runtime";
    case CliCommand::kModules:
      return "modules " + std::to_string(command.count);
    case CliCommand::kInfo:
      return "info";
    case CliCommand::kPorts:
      return "ports";
    case CliCommand::kScan:
      return "scan";
  }
  return "";
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// kbx ports: every port with its COM number, what the system says of it and
// who holds it, as lines or as one JSON array.
int ListPorts(const CliOptions& options, std::ostream& out, std::ostream& err) {
  std::vector<std::string> notes;
  const PortMap map = SessionPortMap(options.session, &notes);
  for (const std::string& note : notes) err << "kbx: " << ForTerminal(note) << '\n';
  err << std::flush;
  std::vector<ListedPort> ports;
  const std::string lockFolder = DefaultLockFolder();
  for (PortInfo& port : map.ListPorts()) {
    // A network port is no file another program of this machine could hold.
    const PortHolder holder =
        port.device.starts_with("/") ? FindPortHolder(port.device, lockFolder) : PortHolder{};
    ports.push_back({std::move(port), holder});
  }
  if (options.json) {
    WritePortsJson(ports, out);
  } else {
    if (ports.empty()) out << "No serial devices found.\n";
    for (const auto& [p, holder] : ports) {
      std::string com = p.comNumber > 0 ? "COM" + std::to_string(p.comNumber) : "-";
      com.resize(std::max<std::size_t>(com.size(), 6), ' ');
      out << com << " " << ForTerminal(p.device);
      if (!p.system.stableName.empty()) out << " (" << ForTerminal(p.system.stableName) << ")";
      if (!p.description.empty()) out << "  " << ForTerminal(p.description);
      if (holder.pid > 0)
        out << "  held by PID " << holder.pid
            << (holder.program.empty() ? "" : " (" + ForTerminal(holder.program) + ")");
      if (p.comNumber == 0) out << "  (use --com N=" << ForTerminal(p.device) << ")";
      out << '\n';
    }
  }
  const std::string failure = WriteFailure(out);
  if (failure.empty()) return 0;
  err << "kbx: could not write the output: " << failure << '\n' << std::flush;
  return 1;
}

// What the UPS and the board told, for --json.
void FillReport(SessionReport& report, const ConsoleHost* host) {
  if (!host) return;
  // The COM number the session asked for: a refused one leaves the port at
  // the number before.
  const PortState& port = host->Port();
  if (port.lineSettings)
    report.settings = "COM" + std::to_string(report.port > 0 ? report.port : port.commPort) + "," +
                      FormatLineSettings(*port.lineSettings);
  report.board.insert(report.board.end(), host->Lines().begin(), host->Lines().end());
}

// A reading of the time remaining: its whole seconds, and its time as the
// board shows it.
void NoteRuntime(double seconds, SessionReport& report) {
  report.runtimeSeconds = std::floor(seconds);
  const std::string time = TimeRemainText(seconds / 3600.0);
  report.runtime = time.substr(time[0] == ' ' ? 1 : 0);
}

// The identity of the UPS connecting found, accepted or not.
void NoteIdentity(const ConnectOutcome& found, SessionReport& report) {
  if (found.type < 1) return;
  report.type = found.type;
  report.versions.clear();
  for (std::size_t k = 0; k < found.versions.size(); ++k) {
    if (found.versions[k].Present())
      report.versions.emplace_back(static_cast<int>(k + 1), found.versions[k].Text());
  }
}

// kbx scan: every port at once, one line (or one JSON object) per port.
int RunScan(const CliOptions& options, std::ostream& out, std::ostream& err) {
  for (const std::string& warning : options.session.warnings) err << "kbx: " << ForTerminal(warning) << '\n';
  std::vector<std::string> notes;
  const PortMap ports = SessionPortMap(options.session, &notes);
  for (const std::string& note : notes) err << "kbx: " << ForTerminal(note) << '\n';
  SetStopNotice("kbx: stopping the scan: every port gets the disconnect request and is let go\n");
  SystemClock clock;
  const std::vector<ScanLine> lines = ScanPorts(ports, options.session, clock);
  SetStopNotice("");
  if (options.json) {
    WriteScanJson(lines, out);
  } else if (lines.empty()) {
    out << "No serial devices found.\n";
  } else {
    WriteScanLines(lines, out);
  }
  int status = FoundUps(lines) ? 0 : 1;
  if (const int signal = StopSignal(); signal != 0) {
    err << "kbx: interrupted (" << SignalName(signal) << ") during scan; every port was let go\n";
    status = 128 + signal;
  }
  if (const std::string failure = WriteFailure(out); !failure.empty()) {
    err << "kbx: could not write the output: " << failure << '\n';
    if (status == 0) status = 1;
  }
  err << std::flush;
  return status;
}

}  // namespace

namespace {

// One session's commands in order, with what a signal interrupted and what
// failed. A signal lets the step it arrived in run to its end, and says so at
// once; then no command runs, and the UPS is disconnected.
class SessionRun {
 public:
  SessionRun(Xcp& xcp, const CliOptions& options, const Confirm& confirm, SessionReport& report)
      : xcp_(xcp), options_(options), confirm_(confirm), report_(report) {}

  // The session's exit status.
  int Run() {
    try {
      if (StopSignal() != 0) {
        interruptedIn_ = "before connecting";
      } else {
        Connect();
      }
      while (next_ < options_.commands.size()) {
        const CliCommand& command = options_.commands[next_++];
        if (StopSignal() != 0) {
          Skip(command);
        } else {
          RunCommand(command);
        }
      }
      if (xcp_.LinkUp()) Disconnect();
    } catch (const StopNow&) {
      StoppedAtOnce();
    }
    SetStopNotice("");
    return Finish();
  }

 private:
  // Whatever fails inside a command ends that command with a line on the
  // board, never the program.
  bool Guarded(const std::function<bool()>& command) { return RunGuarded(xcp_.Host(), command); }

  void FailedOnce(const std::string& step) {
    if (std::find(failed_.begin(), failed_.end(), step) == failed_.end()) failed_.push_back(step);
  }

  // A module command asks and updates: a signal there says nothing at once
  // (the prompt ends, the update is finished anyway).
  void Begin(const std::string& step, bool withNotice) {
    runningStep_ = step;
    notice_ = withNotice && StopSignal() == 0 ? "finishing " + step + "; press Ctrl-C again to stop now" : "";
    SetStopNotice(notice_.empty() ? "" : "kbx: " + notice_ + "\n");
  }

  // After a step: the first signal that came during it, and how the step ended.
  void NoteStop(const std::string& step, const std::string& outcome) {
    if (!interruptedIn_.empty() || StopSignal() == 0) return;
    if (!notice_.empty()) {
      report_.noticeAt = report_.errors.size();
      report_.errors.push_back(notice_);
    }
    interruptedIn_ = "during " + step + ": " + outcome;
    interruptedStep_ = step;
  }

  static std::string OutcomeOf(bool done) { return done ? "it was completed" : "it failed"; }

  void Connect() {
    Begin("connect", true);
    ConnectOutcome found;
    ok_ = Guarded([&] {
      found = xcp_.ConnectUps();
      return found.Accepted();
    });
    if (!ok_) FailedOnce("connect");
    NoteIdentity(found, report_);
    NoteStop("connect", OutcomeOf(ok_));
  }

  // A command after a signal: not run (the connect command is the session's
  // connect, run or not).
  void Skip(const CliCommand& command) {
    if (command.kind == CliCommand::kModules) {
      report_.modules =
          SessionReport::Modules{command.count, "not run", std::nullopt, "interrupted " + interruptedIn_};
    }
    if (command.kind != CliCommand::kConnect || interruptedIn_ == "before connecting")
      notRun_.push_back(CommandName(command));
  }

  void RunCommand(const CliCommand& command) {
    const std::string name = CommandName(command);
    if (command.kind == CliCommand::kModules) {
      RunModules(command, name);
      return;
    }
    Begin(name, true);
    bool done = true;
    switch (command.kind) {
      case CliCommand::kConnect:
        done = xcp_.LinkUp();
        break;
      case CliCommand::kRuntime:
        done = Guarded([&] {
          const std::optional<double> seconds = RuntimeCommand(xcp_);
          if (seconds) NoteRuntime(*seconds, report_);
          return seconds.has_value();
        });
        break;
      case CliCommand::kInfo:
        done = Guarded([&] { return InfoCommand(xcp_); });
        break;
      case CliCommand::kModules:
      case CliCommand::kPorts:
      case CliCommand::kScan:
        break;
    }
    if (!done) FailedOnce(name);
    NoteStop(name, OutcomeOf(done));
    ok_ = ok_ && done;
  }

  void RunModules(const CliCommand& command, const std::string& name) {
    report_.modules = SessionReport::Modules{command.count, "not run", std::nullopt, ""};
    Begin(name, false);
    ModulesOutcome outcome = ModulesOutcome::kLinkDown;  // the command says more from its first step
    const bool done = Guarded([&] {
      return ModulesCommand(xcp_, command.count, options_.yes, confirm_, outcome, report_.modules->update);
    });
    if (outcome == ModulesOutcome::kDone && !done) outcome = ModulesOutcome::kFailed;
    report_.modules->outcome = ModulesOutcomeName(outcome);
    const bool declined = outcome == ModulesOutcome::kNotConfirmed;
    if (declined && StopSignal() == 0) {
      report_.modules->why = "Not changed.";
      report_.errors.push_back(report_.modules->why);
    }
    // How far an update that did not complete got, and that it must be run again.
    if (const auto& update = report_.modules->update; update && !update->Done())
      report_.errors.push_back(name + ": " + KbxUpdateSummary(*update));
    // A module count the user declined says so itself.
    if (!done && !declined) FailedOnce(name);
    if (outcome == ModulesOutcome::kDone) {
      NoteStop(name, "the update was finished");
    } else if (outcome == ModulesOutcome::kFailed) {
      NoteStop(name, "the update failed");
    } else {
      NoteStop(name, "the update was not made");
    }
    ok_ = ok_ && done;
  }

  void Disconnect() {
    Begin("disconnect", true);
    const bool disconnected = Guarded([&] {
      xcp_.DisconnectUps();
      return true;
    });
    if (!disconnected) FailedOnce("disconnect");
    NoteStop("disconnect", OutcomeOf(disconnected));
    ok_ = disconnected && ok_;
  }

  // A second signal: the step ends where it was, and nothing more goes out.
  void StoppedAtOnce() {
    const std::string stopped = "stopped at once by a second signal";
    if (interruptedIn_.empty()) {
      NoteStop(runningStep_, stopped);
    } else {
      interruptedIn_ += "; then " + runningStep_ + " was " + stopped;
    }
    interruptedStep_ = runningStep_;
    if (report_.modules && report_.modules->outcome == "not run" && report_.modules->why.empty())
      report_.modules->why = stopped;
    for (; next_ < options_.commands.size(); ++next_) {
      const CliCommand& command = options_.commands[next_];
      if (command.kind == CliCommand::kModules)
        report_.modules = SessionReport::Modules{command.count, "not run", std::nullopt, stopped};
      notRun_.push_back(CommandName(command));
    }
    if (xcp_.LinkUp() && runningStep_ != "disconnect") notRun_.push_back("disconnect");
  }

  // The lines about what failed and what a signal interrupted; the status.
  int Finish() {
    // The line about the interruption tells the outcome of the step it came in.
    const bool onlyTheInterruptedStepFailed = failed_.size() == 1 && failed_.front() == interruptedStep_;
    if (!failed_.empty() && !onlyTheInterruptedStepFailed) {
      report_.errors.push_back((failed_.size() == 1 ? "command failed: " : "commands failed: ") +
                               Joined(failed_));
    }
    const int signal = StopSignal();
    if (signal == 0) return ok_ ? 0 : 1;
    report_.interrupted = SignalName(signal);
    std::string line = "interrupted (" + report_.interrupted + ") " + interruptedIn_;
    if (!notRun_.empty())
      line += "; " + Joined(notRun_) + (notRun_.size() == 1 ? " was not run" : " were not run");
    report_.errors.push_back(line);
    return 128 + signal;
  }

  Xcp& xcp_;
  const CliOptions& options_;
  const Confirm& confirm_;
  SessionReport& report_;
  bool ok_ = false;
  std::vector<std::string> failed_;  // the steps that failed, each once
  std::string interruptedIn_;        // where the first signal came, and how that step ended
  std::string interruptedStep_;
  std::string runningStep_;
  std::string notice_;               // what a first signal in the running step writes at once
  std::vector<std::string> notRun_;  // the commands a signal kept from running
  std::size_t next_ = 0;             // the command after the running one
};

}  // namespace

int RunSession(Xcp& xcp, const CliOptions& options, const Confirm& confirm, SessionReport* report) {
  SessionReport unused;
  return SessionRun(xcp, options, confirm, report ? *report : unused).Run();
}

int RunKbx(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const Confirm& confirm) {
  CliOptions options;
  std::string error;
  if (!ParseCliOptions(args, options, error)) {
    err << UsageErrorText("kbx", error);
    return 2;
  }
  if (AnswerHelpOrVersion(options.session, KbxUsage(), out)) return 0;
  if (options.commands.front().kind == CliCommand::kPorts) return ListPorts(options, out, err);
  try {
    ResolveAccessCode(options.session);
  } catch (const UsageError& e) {
    err << UsageErrorText("kbx", e.what());
    return 2;
  }

  // With --json a second signal still lets the one JSON object out.
  SetSecondSignalStopsNow(options.json);
  if (options.commands.front().kind == CliCommand::kScan) return RunScan(options, out, err);

  SessionReport report;
  // A modules command is reported also when the session stops before it.
  for (const CliCommand& command : options.commands) {
    if (command.kind == CliCommand::kModules)
      report.modules = SessionReport::Modules{command.count, "not run", std::nullopt, ""};
  }
  auto notRunBecause = [&](const std::string& why) {
    if (report.modules && report.modules->why.empty()) report.modules->why = why;
  };
  // Every message on stderr is also one of the report's errors.
  auto say = [&](const std::string& message) {
    report.errors.push_back(message);
    err << "kbx: " << ForTerminal(message) << '\n' << std::flush;
  };
  for (const std::string& warning : options.session.warnings) say(warning);
  std::unique_ptr<ConsoleHost> host;
  std::unique_ptr<SessionRig> rig;
  SystemClock clock;
  // The session up to its exit status; what it wrote is in the report, the
  // host and the trace.
  auto session = [&]() -> int {
    const bool asks = std::any_of(options.commands.begin(), options.commands.end(),
                                  [](const CliCommand& c) { return c.kind == CliCommand::kModules; }) &&
                      !options.yes;
    report.port = options.session.port;
    report.device = SessionPortMap(options.session).Device(report.port);
    if (asks && !confirm.terminal) {
      say("there is no terminal to confirm the module count on; give --yes to apply it");
      notRunBecause("no terminal to confirm on");
      return 2;
    }

    try {
      rig = std::make_unique<SessionRig>(options.session, clock);
    } catch (const SessionError& e) {
      say(e.what());
      notRunBecause("the session could not start");
      return e.ExitStatus();
    }
    for (const std::string& note : rig->Notes()) say(note);
    report.device = rig->Ports().Device(report.port);

    SerialPort& port = rig->Port();
    host = std::make_unique<ConsoleHost>(out, !options.json);
    Xcp xcp(port, clock, *host);
    const StartUpOutcome started = StartUp(xcp, options.session.baud, options.session.port);
    if (options.session.accessCode) xcp.SetAccessCode(*options.session.accessCode);
    if (!port.IsOpen()) {
      const PortFailure& failure = started.Why();
      const std::string box = started.BoxLine();
      say(box.empty()
              ? "cannot open COM" + std::to_string(options.session.port) + " (" + port.Describe().device + ")"
              : box);
      // Why, and what to do about it, when the port said.
      if (!failure.reason.empty()) say(failure.reason);
      if (!failure.fix.empty()) say(failure.fix);
      notRunBecause("the port could not be opened");
      return 1;
    }
    const std::size_t before = report.errors.size();
    const int status = RunSession(xcp, options, confirm, &report);
    for (std::size_t i = before; i < report.errors.size(); ++i) {
      // The first signal's notice went out when it came.
      if (i != report.noticeAt) err << "kbx: " << ForTerminal(report.errors[i]) << '\n';
    }
    err << std::flush;
    return status;
  };
  int status = session();

  // Output that could not be written is an error, found once the session has
  // gone out in full.
  auto failedWrite = [&](int current) { return current == 0 ? 1 : current; };
  if (rig) rig->FinishTrace();
  if (rig && rig->TraceFile() && !WriteFailure(*rig->TraceFile()).empty()) {
    say("could not write the trace file \"" + options.session.trace + "\"");
    status = failedWrite(status);
  }
  std::string outFailure = WriteFailure(out);
  if (options.json) {
    if (!outFailure.empty()) say("could not write the output: " + outFailure);
    report.exit = outFailure.empty() ? status : failedWrite(status);
    FillReport(report, host.get());
    WriteJsonReport(report, out);
    if (!outFailure.empty()) return report.exit;
    outFailure = WriteFailure(out);
  }
  if (!outFailure.empty()) {
    say("could not write the output: " + outFailure);
    status = failedWrite(status);
  }
  return status;
}

}  // namespace kbx
