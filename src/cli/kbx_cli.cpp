#include "cli/kbx_cli.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>

#include "cli/cli_options.h"
#include "cli/console_host.h"
#include "link/command_guard.h"
#include "link/numbers.h"
#include "link/trace.h"
#include "platform/clock.h"
#include "platform/port_map.h"
#include "platform/qt_serial_control.h"
#include "sim/pty_simulator.h"
#include "ups/kbx_config.h"
#include "ups/runtime.h"
#include "ups/startup.h"

namespace kbx {

namespace {

std::string Hex2(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

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
    meters += (k ? ", " : "") + std::to_string(numbers[k]) + " (format " + Hex2(formats[k]) + ")";
  }
  host.AddToBoard("Meters reported: " + (meters.empty() ? std::string("none") : meters));
  host.AddToBoard("Meter map length: " + std::to_string(xcp.MeterMapLength()) +
                  ", flag map length: " + std::to_string(xcp.FlagMapLength()) +
                  ", type block length: " + std::to_string(xcp.TypeBlockLength()) +
                  ", third map length: " + std::to_string(xcp.ThirdMapLength()));
  return true;
}

bool ModulesCommand(Xcp& xcp, std::int16_t count, bool yes, const Confirm& confirm) {
  XcpHost& host = xcp.Host();
  host.BoardClear();
  if (!xcp.LinkUp()) {
    host.AddToBoard("Link Down");
    return false;
  }
  const KbxChoices choices = DetermineKbxSupport(xcp);
  const std::string text = std::to_string(count);
  if (!choices.applyEnabled ||
      std::find(choices.items.begin(), choices.items.end(), text) == choices.items.end()) {
    return false;
  }
  host.BoardClear();
  if (!yes) {
    if (!confirm.ask || !confirm.ask(KbxConfirmText(text))) return false;
  }
  return ApplyKbxConfiguration(xcp, text, choices.enableTest);
}

void ListPorts(const PortMap& map, std::ostream& out) {
  const auto ports = map.ListPorts();
  if (ports.empty()) out << "No serial devices found.\n";
  for (const auto& p : ports) {
    std::string com = p.comNumber > 0 ? "COM" + std::to_string(p.comNumber) : "-";
    com.resize(std::max<std::size_t>(com.size(), 6), ' ');
    out << com << " " << p.device;
    if (!p.description.empty()) out << "  " << p.description;
    if (p.comNumber == 0) out << "  (use --com N=" << p.device << ")";
    out << '\n';
  }
}

}  // namespace

int RunSession(Xcp& xcp, const CliOptions& options, const Confirm& confirm) {
  // Whatever fails inside a command ends that command with a line on the
  // board, never the program.
  auto guarded = [&](const std::function<bool()>& command) { return RunGuarded(xcp.Host(), command); };
  bool ok = guarded([&] {
    xcp.ConnectUps();
    return xcp.LinkUp();
  });
  for (const CliCommand& command : options.commands) {
    bool done = true;
    switch (command.kind) {
      case CliCommand::kConnect:
        done = xcp.LinkUp();
        break;
      case CliCommand::kRuntime:
        done = guarded([&] { return RuntimeCommand(xcp); });
        break;
      case CliCommand::kModules:
        done = guarded([&] { return ModulesCommand(xcp, command.count, options.yes, confirm); });
        break;
      case CliCommand::kInfo:
        done = guarded([&] { return InfoCommand(xcp); });
        break;
      case CliCommand::kPorts:
        break;
    }
    ok = ok && done;
  }
  if (xcp.LinkUp()) {
    ok = guarded([&] {
           xcp.DisconnectUps();
           return true;
         }) &&
         ok;
  }
  return ok ? 0 : 1;
}

int RunKbx(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const Confirm& confirm) {
  CliOptions options;
  std::string error;
  if (!ParseCliOptions(args, options, error)) {
    err << "kbx: " << error << "\nTry 'kbx --help'.\n";
    return 2;
  }
  if (options.help) {
    out << kCliUsage;
    return 0;
  }
  if (options.version) {
    out << "kbx " << kProgramVersion << '\n';
    return 0;
  }

  PortMap map;
  for (const auto& [number, device] : options.mappings) map.Map(number, device);
  if (options.commands.front().kind == CliCommand::kPorts) {
    ListPorts(map, out);
    return 0;
  }

  const bool asks = std::any_of(options.commands.begin(), options.commands.end(),
                                [](const CliCommand& c) { return c.kind == CliCommand::kModules; }) &&
                    !options.yes;
  if (asks && !confirm.terminal) {
    err << "kbx: there is no terminal to confirm the module count on; give --yes to apply it\n";
    return 2;
  }

  std::ofstream traceFile;
  if (!options.trace.empty()) {
    traceFile.open(options.trace, std::ios::out | std::ios::trunc);
    if (!traceFile) {
      err << "kbx: cannot write the trace file \"" << options.trace << "\"\n";
      return 2;
    }
  }

  std::unique_ptr<PtySimulator> simulator;
  if (options.simulate) {
    SimOptions sim;
    sim.type = options.simulateType;
    if (options.hasAccessCode) sim.accessCode = options.accessCode;
    simulator = std::make_unique<PtySimulator>(sim);
    simulator->Start();
    map.Map(std::stoi(options.port), simulator->SlavePath());
  }

  SystemClock clock;
  QtSerialControl port(map);
  std::unique_ptr<TracingSerialControl> traced;
  if (traceFile.is_open()) {
    traced = std::make_unique<TracingSerialControl>(port, clock, traceFile,
                                                    [&map](int number) { return map.Device(number); });
  }
  ConsoleHost host(out);
  Xcp xcp(traced ? static_cast<SerialControl&>(*traced) : port, clock, host);
  const std::string box = StartUp(xcp, options.baud, options.port);
  if (options.hasAccessCode) xcp.SetAccessCode(options.accessCode);
  if (!port.PortOpen()) {
    err << "kbx: "
        << (box.empty() ? "cannot open COM" + options.port + " (" + map.Device(port.CommPort()) + ")" : box)
        << '\n';
    return 1;
  }

  return RunSession(xcp, options, confirm);
}

}  // namespace kbx
