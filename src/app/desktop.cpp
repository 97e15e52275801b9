#include "app/desktop.h"

#include <QMessageBox>

#include "ui/main_window.h"
#include "ups/startup.h"
#include "ups/xcp.h"

namespace kbx {

const ProgramUsage& DesktopUsage() {
  static const ProgramUsage usage{
      "kbx-configurator", "[OPTION]...",
      "\n"
      "The desktop program of KBX Configurator. It starts on COM1 at 19200 baud; the Port\n"
      "button changes both for the run.\n",
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

std::string StartUpBoxText(const std::string& message, const PortFailure& failure) {
  std::string text = message;
  // A port that merely will not open has its line on the board and no box,
  // unless the port told why: then the technician learns what to do.
  if (failure.number != 0 && !failure.reason.empty()) {
    if (!text.empty()) text += "\n\n";
    text += failure.reason;
    if (!failure.fix.empty()) text += "\n" + failure.fix;
  }
  return text;
}

void StartDesktop(MainWindow& window, Xcp& xcp, const std::function<PortFailure()>& whyNotOpen) {
  const std::string startUpMessage = StartUp(xcp);
  const std::string message = StartUpBoxText(startUpMessage, whyNotOpen ? whyNotOpen() : PortFailure{});
  window.show();
  if (!message.empty()) {
    QMessageBox box(QMessageBox::NoIcon, kProgramTitle, QString::fromStdString(message), QMessageBox::Ok,
                    &window);
    box.setObjectName("startUpBox");
    box.exec();
  }
}

}  // namespace kbx
