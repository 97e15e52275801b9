#include "platform/gensio_support.h"

#include <vector>

// Its C headers live in the namespace of its C++ binding.
namespace gensios {
#include <gensio/gensio_unix.h>
}

namespace kbx {

namespace {

std::mutex loopsLock;
std::vector<gensios::Os_Funcs>& FreeLoops() {
  static auto* loops = new std::vector<gensios::Os_Funcs>;  // never freed, as said
  return *loops;
}

}  // namespace

gensios::Os_Funcs LendLoop() {
  const std::lock_guard lock(loopsLock);
  std::vector<gensios::Os_Funcs>& loops = FreeLoops();
  if (loops.empty()) {
    gensios::gensio_os_funcs* loop = nullptr;
    const int error = gensios::gensio_unix_funcs_alloc(nullptr, 0, &loop);
    if (error != 0) throw gensios::gensio_error(error);
    gensios::Os_Funcs funcs(true);
    funcs.init(loop);
    loops.push_back(funcs);
  }
  gensios::Os_Funcs loop = loops.back();
  loops.pop_back();
  return loop;
}

void GiveBackLoop(const gensios::Os_Funcs& loop) {
  const std::lock_guard lock(loopsLock);
  FreeLoops().push_back(loop);
}

std::mutex& GensioAllocLock() {
  static std::mutex lock;
  return lock;
}

unsigned GensioParity(char parity) {
  switch (parity) {
    case 'O':
      return SERGENSIO_PARITY_ODD;
    case 'E':
      return SERGENSIO_PARITY_EVEN;
    case 'M':
      return SERGENSIO_PARITY_MARK;
    case 'S':
      return SERGENSIO_PARITY_SPACE;
    default:
      return SERGENSIO_PARITY_NONE;
  }
}

char ParityLetter(unsigned parity) {
  switch (parity) {
    case SERGENSIO_PARITY_ODD:
      return 'O';
    case SERGENSIO_PARITY_EVEN:
      return 'E';
    case SERGENSIO_PARITY_MARK:
      return 'M';
    case SERGENSIO_PARITY_SPACE:
      return 'S';
    default:
      return 'N';
  }
}

}  // namespace kbx
