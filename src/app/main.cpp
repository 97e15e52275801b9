// kbx-configurator: the desktop program.
#include <QApplication>
#include <QTimer>
#include <clocale>
#include <fstream>
#include <iostream>
#include <memory>

#include "app/close_on_signals.h"
#include "app/desktop.h"
#include "link/trace.h"
#include "platform/event_clock.h"
#include "platform/help_viewer.h"
#include "platform/port_map.h"
#include "platform/qt_serial_control.h"
#include "platform/stop_signals.h"
#include "sim/pty_simulator.h"
#include "ui/main_window.h"
#include "ups/startup.h"
#include "ups/xcp.h"

int main(int argc, char** argv) {
  // Before anything is opened: a closed stdout must not become the port.
  kbx::ReserveStandardDescriptors();
  kbx::IgnoreBrokenPipes();
  kbx::InstallStopSignals(kbx::StopMode::kNoteEvery, "kbx-configurator");
  kbx::DesktopOptions options;
  std::string error;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!kbx::ParseDesktopOptions(args, options, error)) {
    std::cerr << "kbx-configurator: " << error << "\nTry 'kbx-configurator --help'.\n";
    return 2;
  }
  if (options.help) {
    std::cout << kbx::kDesktopUsage;
    return 0;
  }
  if (options.version) {
    std::cout << "kbx-configurator " << kbx::kProgramVersion << '\n';
    return 0;
  }

  // Options first: --help and --version need no display.
  QApplication app(argc, argv);
  // The application object has set every locale category from the environment;
  // numbers read or written as text keep "." whatever the user's locale says.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName("kbx-configurator");
  QApplication::setApplicationVersion(kbx::kProgramVersion);

  std::ofstream traceFile;
  if (!options.trace.empty()) {
    traceFile.open(options.trace, std::ios::out | std::ios::trunc);
    if (!traceFile) {
      std::cerr << "kbx-configurator: cannot write the trace file \"" << options.trace << "\"\n";
      return 2;
    }
  }

  kbx::PortMap ports;
  for (const auto& [number, device] : options.mappings) ports.Map(number, device);
  std::unique_ptr<kbx::PtySimulator> simulator;
  if (options.simulate) {
    kbx::SimOptions sim;
    sim.type = options.simulateType;
    if (options.hasAccessCode) sim.accessCode = options.accessCode;
    simulator = std::make_unique<kbx::PtySimulator>(sim);
    simulator->Start();
    ports.Map(1, simulator->SlavePath());
  }

  kbx::EventClock clock;
  kbx::QtSerialControl port(ports);
  std::unique_ptr<kbx::TracingSerialControl> traced;
  if (traceFile.is_open()) {
    traced = std::make_unique<kbx::TracingSerialControl>(
        port, clock, traceFile, [&ports](int number) { return ports.Device(number); });
  }
  kbx::BrowserHelpViewer help;
  kbx::MainWindow window;
  kbx::Xcp xcp(traced ? static_cast<kbx::SerialControl&>(*traced) : port, clock, window);
  if (options.hasAccessCode) xcp.SetAccessCode(options.accessCode);
  window.SetXcp(&xcp);
  window.SetHelpViewer(&help);
  kbx::StartDesktop(window, xcp);
  // A signal closes the window as its close box does: after the running command.
  kbx::CloseOnSignals closeOnSignals(window);
  if (qEnvironmentVariableIsSet("KBX_EXIT_WHEN_SHOWN")) {
    // For the benchmark: once the shown window has been painted, say so and end.
    QTimer::singleShot(0, [] {
      std::cout << "shown" << std::endl;
      QApplication::quit();
    });
  }
  const int status = QApplication::exec();
  return kbx::StopSignal() != 0 ? 128 + kbx::StopSignal() : status;
}
