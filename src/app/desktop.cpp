#include "app/desktop.h"

#include <QMessageBox>

#include "platform/port_map.h"
#include "ui/main_window.h"
#include "ups/startup.h"
#include "ups/xcp.h"

namespace kbx {

const char* const kDesktopUsage =
    "Usage: kbx-configurator [--com N=DEVICE]... [--access-code HEX6] [--simulate [TYPE]]\n"
    "                        [--trace FILE]\n"
    "\n"
    "  --com N=DEVICE     use DEVICE for COM N (e.g. --com 1=/dev/ttyUSB0); repeatable\n"
    "  --access-code HEX6 the code that unlocks the UPS's set commands\n"
    "  --simulate [TYPE]  run against a simulated UPS of TYPE on COM1 (default 290)\n"
    "  --trace FILE       write every byte exchanged with the UPS, timed and decoded, to FILE\n"
    "  --help, --version\n";

bool ParseDesktopOptions(const std::vector<std::string>& args, DesktopOptions& options, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--com") {
      int number = 0;
      std::string device;
      if (i + 1 >= args.size() || !PortMap::ParseMapping(args[i + 1], number, device)) {
        error = "--com needs N=DEVICE";
        return false;
      }
      options.mappings.emplace_back(number, device);
      ++i;
    } else if (arg == "--access-code") {
      if (i + 1 >= args.size() || !ParseAccessCode(args[i + 1], options.accessCode)) {
        error = "--access-code needs six hexadecimal digits";
        return false;
      }
      options.hasAccessCode = true;
      ++i;
    } else if (arg == "--trace") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        error = "--trace needs a file name";
        return false;
      }
      options.trace = args[++i];
    } else if (arg == "--simulate") {
      options.simulate = true;
      const std::string& next = i + 1 < args.size() ? args[i + 1] : std::string();
      if (!next.empty() && next.size() <= 5 && next.find_first_not_of("0123456789") == std::string::npos) {
        options.simulateType = std::stoi(next);
        if (options.simulateType > 65535) {
          error = "--simulate needs a UPS type code from 0 to 65535";
          return false;
        }
        ++i;
      }
    } else {
      error = "unknown option \"" + arg + "\"";
      return false;
    }
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
