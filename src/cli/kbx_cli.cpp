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

bool ModulesCommand(Xcp& xcp, std::int16_t count, bool yes, const Confirm& confirm, std::string& outcome,
                    std::optional<KbxUpdateOutcome>& update) {
  XcpHost& host = xcp.Host();
  host.BoardClear();
  if (!xcp.LinkUp()) {
    host.AddToBoard("Link Down");
    outcome = "link down";
    return false;
  }
  outcome = "not supported";
  const KbxChoices choices = DetermineKbxSupport(xcp);
  const std::string text = std::to_string(count);
  if (!choices.applyEnabled ||
      std::find(choices.items.begin(), choices.items.end(), text) == choices.items.end()) {
    return false;
  }
  host.BoardClear();
  outcome = "not confirmed";
  if (!yes) {
    if (!confirm.ask || !confirm.ask(KbxConfirmText(text))) return false;
  }
  // From here on a signal waits for the last write.
  const UpdateInProgress updating;
  outcome = "failed";
  update = ApplyKbxConfiguration(xcp, text, choices.enableTest);
  if (update->Done()) outcome = "done";
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
  const std::string& caption = host->SettingsCaption();
  report.settings = caption.substr(std::min(caption.find_first_not_of(' '), caption.size()));
  // The COM number the session asked for: a refused one leaves the port's
  // label at the number before.
  const std::size_t comma = report.settings.find(',');
  if (report.port > 0 && comma != std::string::npos)
    report.settings = "COM" + std::to_string(report.port) + report.settings.substr(comma);
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

int RunSession(Xcp& xcp, const CliOptions& options, const Confirm& confirm, SessionReport* report) {
  SessionReport unused;
  SessionReport& session = report ? *report : unused;
  // Whatever fails inside a command ends that command with a line on the
  // board, never the program.
  auto guarded = [&](const std::function<bool()>& command) { return RunGuarded(xcp.Host(), command); };
  std::vector<std::string> failed;
  auto failedOnce = [&](const std::string& step) {
    if (std::find(failed.begin(), failed.end(), step) == failed.end()) failed.push_back(step);
  };
  // A signal lets the step it arrived in run to its end, and says so at once;
  // then no command runs.
  std::string interruptedIn;
  std::string interruptedStep;
  std::string runningStep;
  std::string notice;  // what a first signal in the running step writes at once
  // A module command asks and updates: a signal there says nothing at once
  // (the prompt ends, the update is finished anyway).
  auto begin = [&](const std::string& step, bool withNotice) {
    runningStep = step;
    notice = withNotice && StopSignal() == 0 ? "finishing " + step + "; press Ctrl-C again to stop now" : "";
    SetStopNotice(notice.empty() ? "" : "kbx: " + notice + "\n");
  };
  auto noteStop = [&](const std::string& step, const std::string& outcome) {
    if (!interruptedIn.empty() || StopSignal() == 0) return;
    if (!notice.empty()) {
      session.noticeAt = session.errors.size();
      session.errors.push_back(notice);
    }
    interruptedIn = "during " + step + ": " + outcome;
    interruptedStep = step;
  };
  auto outcomeOf = [](bool done) { return std::string(done ? "it was completed" : "it failed"); };

  bool ok = false;
  std::vector<std::string> notRun;
  std::size_t next = 0;  // the command after the running one
  try {
    if (StopSignal() != 0) {
      interruptedIn = "before connecting";
    } else {
      begin("connect", true);
      ConnectOutcome found;
      ok = guarded([&] {
        found = xcp.ConnectUps();
        return found.Accepted();
      });
      if (!ok) failedOnce("connect");
      NoteIdentity(found, session);
      noteStop("connect", outcomeOf(ok));
    }
    while (next < options.commands.size()) {
      const CliCommand& command = options.commands[next++];
      const std::string name = CommandName(command);
      if (command.kind == CliCommand::kModules)
        session.modules = SessionReport::Modules{command.count, "not run", std::nullopt, ""};
      if (StopSignal() != 0) {
        if (command.kind == CliCommand::kModules) session.modules->why = "interrupted " + interruptedIn;
        // The connect command is the session's connect, run or not.
        if (command.kind != CliCommand::kConnect || interruptedIn == "before connecting")
          notRun.push_back(name);
        continue;
      }
      begin(name, command.kind != CliCommand::kModules);
      bool done = true;
      std::string outcome;
      switch (command.kind) {
        case CliCommand::kConnect:
          done = xcp.LinkUp();
          break;
        case CliCommand::kRuntime:
          done = guarded([&] {
            const std::optional<double> seconds = RuntimeCommand(xcp);
            if (seconds) NoteRuntime(*seconds, session);
            return seconds.has_value();
          });
          break;
        case CliCommand::kModules:
          done = guarded([&] {
            return ModulesCommand(xcp, command.count, options.yes, confirm, outcome, session.modules->update);
          });
          if (outcome == "done" && !done) outcome = "failed";
          session.modules->outcome = outcome;
          if (outcome == "not confirmed" && StopSignal() == 0) {
            session.modules->why = "Not changed.";
            session.errors.push_back(session.modules->why);
          }
          // How far an update that did not complete got, and that it must be run again.
          if (const auto& update = session.modules->update; update && !update->Done())
            session.errors.push_back(name + ": " + KbxUpdateSummary(*update));
          break;
        case CliCommand::kInfo:
          done = guarded([&] { return InfoCommand(xcp); });
          break;
        case CliCommand::kPorts:
        case CliCommand::kScan:
          break;
      }
      // A module count the user declined says so itself.
      if (!done && outcome != "not confirmed") failedOnce(name);
      if (command.kind != CliCommand::kModules) {
        noteStop(name, outcomeOf(done));
      } else if (outcome == "done" || outcome == "failed") {
        noteStop(name, outcome == "done" ? "the update was finished" : "the update failed");
      } else {
        noteStop(name, "the update was not made");
      }
      ok = ok && done;
    }
    if (xcp.LinkUp()) {
      begin("disconnect", true);
      const bool disconnected = guarded([&] {
        xcp.DisconnectUps();
        return true;
      });
      if (!disconnected) failedOnce("disconnect");
      noteStop("disconnect", outcomeOf(disconnected));
      ok = disconnected && ok;
    }
  } catch (const StopNow&) {
    // A second signal: the step ends where it was, and nothing more goes out.
    const std::string stopped = "stopped at once by a second signal";
    if (interruptedIn.empty()) {
      noteStop(runningStep, stopped);
    } else {
      interruptedIn += "; then " + runningStep + " was " + stopped;
    }
    interruptedStep = runningStep;
    if (session.modules && session.modules->outcome == "not run" && session.modules->why.empty())
      session.modules->why = stopped;
    for (; next < options.commands.size(); ++next) {
      const CliCommand& command = options.commands[next];
      if (command.kind == CliCommand::kModules)
        session.modules = SessionReport::Modules{command.count, "not run", std::nullopt, stopped};
      notRun.push_back(CommandName(command));
    }
    if (xcp.LinkUp() && runningStep != "disconnect") notRun.push_back("disconnect");
  }
  SetStopNotice("");

  // The line about the interruption tells the outcome of the step it came in.
  const bool onlyTheInterruptedStepFailed = failed.size() == 1 && failed.front() == interruptedStep;
  if (!failed.empty() && !onlyTheInterruptedStepFailed) {
    session.errors.push_back((failed.size() == 1 ? "command failed: " : "commands failed: ") +
                             Joined(failed));
  }
  const int signal = StopSignal();
  if (signal != 0) {
    session.interrupted = SignalName(signal);
    std::string line = "interrupted (" + session.interrupted + ") " + interruptedIn;
    if (!notRun.empty())
      line += "; " + Joined(notRun) + (notRun.size() == 1 ? " was not run" : " were not run");
    session.errors.push_back(line);
    return 128 + signal;
  }
  return ok ? 0 : 1;
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
    const StartUpOutcome started =
        StartUp(xcp, std::to_string(options.session.baud), std::to_string(options.session.port));
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
