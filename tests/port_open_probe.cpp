// Opens DEVICE as the serial port, with LOCKFOLDER as the folder of the lock
// files, and says how that went, one item a line: the error number (0: the
// port opened), the reason and the fix. The platform tests run it as another
// user, to see what a user without the rights to a port is told.

#include <QCoreApplication>
#include <iostream>

#include "platform/port_map.h"
#include "platform/run_time_error.h"
#include "platform/tty_port.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: port_open_probe DEVICE LOCKFOLDER\n";
    return 2;
  }
  QCoreApplication app(argc, argv);
  kbx::PortMap ports;
  ports.Map(1, argv[1]);
  kbx::TtyPort port(ports, argv[2]);
  int number = 0;
  kbx::PortFailure why;
  try {
    port.Open(kbx::PortRequest{});
  } catch (const kbx::RunTimeError& error) {
    number = error.number();
    why = error.why();
  }
  std::cout << number << '\n' << why.reason << '\n' << why.fix << '\n';
  return 0;
}
