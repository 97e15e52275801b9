// kbx: the command line front end of KBX Configurator.
#include <QCoreApplication>
#include <clocale>
#include <iostream>
#include <string>

#include "cli/kbx_cli.h"
#include "platform/descriptor_output.h"
#include "platform/stop_signals.h"

namespace {

bool AskOnTerminal(const std::string& question) {
  std::string text;
  for (char c : question) {
    if (c != '\r') text += c;
  }
  std::cerr << text << "[y/N] " << std::flush;
  std::string answer;
  // A stop signal or the end of input while waiting answers No; the prompt's
  // line ends first, so that what follows starts a line of its own.
  if (!kbx::ReadAnswerLine(answer)) {
    std::cerr << '\n' << std::flush;
    return false;
  }
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a closed stdout must not become the port.
  kbx::ReserveStandardDescriptors();
  kbx::IgnoreBrokenPipes();
  kbx::InstallStopSignals(kbx::StopMode::kSecondSignalEnds, "kbx");
  QCoreApplication app(argc, argv);
  // The application object has set every locale category from the environment;
  // numbers read or written as text keep "." whatever the user's locale says.
  std::setlocale(LC_NUMERIC, "C");
  std::vector<std::string> args(argv + 1, argv + argc);
  const kbx::Confirm confirm{kbx::InputIsTerminal(), AskOnTerminal};
  kbx::DescriptorOutput standardOutput(1);
  std::ostream out(&standardOutput);
  return kbx::RunKbx(args, out, std::cerr, confirm);
}
