#include "app/desktop.h"

#include <unistd.h>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <clocale>
#include <iostream>
#include <memory>
#include <vector>

#include "app/close_on_signals.h"
#include "platform/stop_signals.h"
#include "platform/version.h"
#include "session/session_rig.h"
#include "ui/help_viewer.h"
#include "ui/main_window.h"
#include "ui/settings_dialog.h"
#include "ups/startup.h"
#include "ups/xcp.h"

namespace kbx {

namespace {

// While the application object starts: what Qt says is kept back, and a
// start it cannot survive (no display to show a window on) ends the program
// with one line of ours instead of Qt's abort.
QtMessageHandler startUpHandler = nullptr;
std::vector<QString>* heldBack = nullptr;

void OnStartUpMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtFatalMsg) {
    static const char line[] = "kbx-configurator: no display; use kbx for the command line\n";
    if (::write(STDERR_FILENO, line, sizeof line - 1) < 0) {
      // nothing more can be said
    }
    ::_exit(1);
  }
  if (heldBack) heldBack->push_back(qFormatLogMessage(type, context, message));
}

}  // namespace

const ProgramUsage& DesktopUsage() {
  static const ProgramUsage usage{
      "kbx-configurator", "[OPTION]...",
      "\n"
      "The desktop program of KBX Configurator. It starts on COM1 at 19200 baud; the\n"
      "Port button changes both for the run.\n",
      Concat({SessionOptionTable(), HelpAndVersionOptionTable()}), ""};
  return usage;
}

bool ParseDesktopOptions(const std::vector<std::string>& args, SessionOptions& options, std::string& error) {
  try {
    const CommandLine line = ParseCommandLine(DesktopUsage().options, args);
    for (const GivenOption& given : line.options) TakeSessionOption(given, options);
    RejectOperands(line);
  } catch (const UsageError& e) {
    error = e.what();
    return false;
  }
  return true;
}

std::string StartUpBoxText(const StartUpOutcome& started, const std::vector<std::string>& notes) {
  std::string text = started.BoxLine();
  const PortFailure& failure = started.Why();
  // A port that merely will not open has its line on the board and no box,
  // unless the port told why: then the technician learns what to do.
  if (failure.number != 0 && !failure.reason.empty()) {
    if (!text.empty()) text += "\n\n";
    text += WhyNotOpenText(failure);
  }
  for (std::size_t i = 0; i < notes.size(); ++i)
    text += (text.empty() ? "" : i == 0 ? "\n\n" : "\n") + notes[i];
  return text;
}

void StartDesktop(MainWindow& window, Xcp& xcp, const std::vector<std::string>& notes) {
  const std::string message = StartUpBoxText(StartUp(xcp), notes);
  window.show();
  if (!message.empty()) {
    QMessageBox box(QMessageBox::Warning, kProgramTitle, QString::fromStdString(message), QMessageBox::Ok,
                    &window);
    box.setObjectName("startUpBox");
    box.exec();
  }
}

int RunDesktop(int argc, char** argv, const std::function<void(MainWindow&)>& onWindow) {
  // Before anything is opened: a closed stdout must not become the port. The
  // stop signals are watched from here on.
  ReserveStandardDescriptors();
  IgnoreBrokenPipes();
  InstallStopSignals(StopMode::kNoteEvery, "kbx-configurator");
  SessionOptions options;
  std::string error;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!ParseDesktopOptions(args, options, error)) {
    std::cerr << UsageErrorText("kbx-configurator", error);
    return 2;
  }
  // Options first: --help and --version need no display.
  if (AnswerHelpOrVersion(options, DesktopUsage(), std::cout)) return 0;
  try {
    ResolveAccessCode(options);
  } catch (const UsageError& e) {
    std::cerr << UsageErrorText("kbx-configurator", e.what());
    return 2;
  }
  for (const std::string& warning : options.warnings)
    std::cerr << "kbx-configurator: " << ForTerminal(warning) << '\n';

  std::vector<QString> startUpMessages;
  heldBack = &startUpMessages;
  startUpHandler = qInstallMessageHandler(OnStartUpMessage);
  QApplication app(argc, argv);
  qInstallMessageHandler(startUpHandler);
  heldBack = nullptr;
  // It started: what Qt said meanwhile is said now.
  for (const QString& message : startUpMessages) std::cerr << message.toStdString() << '\n';
  // The application object has set every locale category from the environment;
  // numbers read or written as text keep "." whatever the user's locale says.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName("kbx-configurator");
  QApplication::setApplicationVersion(kProgramVersion);
  const auto signalled = [](int status) { return StopSignal() != 0 ? 128 + StopSignal() : status; };

  DesktopClock clock;
  std::unique_ptr<SessionRig> rig;
  try {
    rig = std::make_unique<SessionRig>(options, clock);
  } catch (const SessionError& e) {
    std::cerr << "kbx-configurator: " << ForTerminal(e.what()) << '\n';
    return e.ExitStatus();
  }
  for (const std::string& note : rig->Notes()) std::cerr << "kbx-configurator: " << ForTerminal(note) << '\n';
  BrowserHelpViewer help;
  MainWindow window;
  Xcp xcp(rig->Port(), clock, window);
  if (options.accessCode) xcp.SetAccessCode(*options.accessCode);
  window.SetXcp(&xcp);
  window.SetHelpViewer(&help);
  SessionView view;
  view.deviceOf = [&rig](int com) { return rig->Ports().Device(com); };
  view.listPorts = [&rig] { return rig->Ports().ListPorts(); };
  view.simulatedCom = options.simulateType ? options.port : 0;
  window.SetSessionView(view);
  // A signal closes every window, the start-up box too, once no command runs.
  CloseOnSignals closeOnSignals(window, [&clock] { return clock.Sleeping(); });
  if (onWindow) onWindow(window);
  // A signal that came before the event loop is looked at now.
  if (StopSignal() != 0) return signalled(0);
  StartDesktop(window, xcp, rig->Notes());
  // The start-up box may have been closed by a signal, and the program with it.
  if (window.Closed()) return signalled(0);
  if (qEnvironmentVariableIsSet("KBX_EXIT_WHEN_SHOWN")) {
    // For the benchmark: once the shown window has been painted, say so and end.
    QTimer::singleShot(0, [] {
      std::cout << "shown" << std::endl;
      QApplication::quit();
    });
  }
  return signalled(QApplication::exec());
}

}  // namespace kbx
