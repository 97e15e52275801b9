// The kernel's own termios2, which takes any rate: it cannot share a file
// with the C library's <termios.h>.
#include "platform/line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kbx {
namespace {

speed_t SpeedConstant(int baud) {
  switch (baud) {
    case 110:
      return B110;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return BOTHER;
  }
}

}  // namespace

bool SetLineSpeed(int fd, int baud) {
  termios2 tio{};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  const speed_t speed = SpeedConstant(baud);
  tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= speed;  // the input rate follows the output rate
  tio.c_ispeed = static_cast<speed_t>(baud);
  tio.c_ospeed = static_cast<speed_t>(baud);
  return ::ioctl(fd, TCSETS2, &tio) == 0;
}

int LineSpeed(int fd) {
  termios2 tio{};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return -1;
  return static_cast<int>(tio.c_ospeed);
}

}  // namespace kbx
