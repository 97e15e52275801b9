// kbx-configurator: the desktop program.
#include <QApplication>
#include <QTimer>
#include <clocale>
#include <iostream>
#include <memory>

#include "app/close_on_signals.h"
#include "app/desktop.h"
#include "platform/event_clock.h"
#include "platform/help_viewer.h"
#include "platform/stop_signals.h"
#include "platform/version.h"
#include "session/session_rig.h"
#include "ui/main_window.h"
#include "ups/xcp.h"

int main(int argc, char** argv) {
  // Before anything is opened: a closed stdout must not become the port.
  kbx::ReserveStandardDescriptors();
  kbx::IgnoreBrokenPipes();
  kbx::InstallStopSignals(kbx::StopMode::kNoteEvery, "kbx-configurator");
  kbx::SessionOptions options;
  std::string error;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!kbx::ParseDesktopOptions(args, options, error)) {
    std::cerr << kbx::UsageErrorText("kbx-configurator", error);
    return 2;
  }
  // Options first: --help and --version need no display.
  if (kbx::AnswerHelpOrVersion(options, kbx::DesktopUsage(), std::cout)) return 0;

  QApplication app(argc, argv);
  // The application object has set every locale category from the environment;
  // numbers read or written as text keep "." whatever the user's locale says.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName("kbx-configurator");
  QApplication::setApplicationVersion(kbx::kProgramVersion);

  kbx::EventClock clock;
  std::unique_ptr<kbx::SessionRig> rig;
  try {
    rig = std::make_unique<kbx::SessionRig>(options, clock);
  } catch (const kbx::SessionError& e) {
    std::cerr << "kbx-configurator: " << e.what() << '\n';
    return e.ExitStatus();
  }
  kbx::BrowserHelpViewer help;
  kbx::MainWindow window;
  kbx::Xcp xcp(rig->Port(), clock, window);
  if (options.accessCode) xcp.SetAccessCode(*options.accessCode);
  window.SetXcp(&xcp);
  window.SetHelpViewer(&help);
  kbx::StartDesktop(window, xcp, [&rig] { return rig->OpenFailure(); });
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
