// kbx: the command line front end of KBX Configurator.
#include <unistd.h>

#include <QCoreApplication>
#include <clocale>
#include <iostream>
#include <string>

#include "cli/kbx_cli.h"

namespace {

bool AskOnTerminal(const std::string& question) {
  std::string text;
  for (char c : question) {
    if (c != '\r') text += c;
  }
  std::cerr << text << "[y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // The application object has set every locale category from the environment;
  // numbers read or written as text keep "." whatever the user's locale says.
  std::setlocale(LC_NUMERIC, "C");
  std::vector<std::string> args(argv + 1, argv + argc);
  const kbx::Confirm confirm{isatty(STDIN_FILENO) != 0, AskOnTerminal};
  return kbx::RunKbx(args, std::cout, std::cerr, confirm);
}
