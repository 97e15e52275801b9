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

void StartDesktop(MainWindow& window, Xcp& xcp) {
  const std::string message = StartUp(xcp);
  window.show();
  if (!message.empty()) {
    QMessageBox box(QMessageBox::NoIcon, kProgramTitle, QString::fromStdString(message), QMessageBox::Ok,
                    &window);
    box.setObjectName("startUpBox");
    box.exec();
  }
}

}  // namespace kbx
