#pragma once

// What the network port and the network line share of gensio. Include the
// system's headers first: gensio's C++ header takes its C headers into its
// namespace.
#include <gensio/gensio>
#include <mutex>

namespace kbx {

// An event loop for one connection or server of its own (gensio's default
// one is shared by the whole process), so that one in a thread never handles
// the events of one in another. gensio keeps state of its own that refers to
// the first loop it was given, and a process that freed that loop and made a
// connection on another one crashed: so no loop is ever freed, and one given
// back is lent again. Thread-safe; LendLoop throws gensios::gensio_error.
gensios::Os_Funcs LendLoop();
void GiveBackLoop(const gensios::Os_Funcs& loop);

// gensio finds the kind of a new connection or accepter (loading its module
// the first time) with no lock of its own to rely on: hold this around the
// allocation, one thread at a time.
std::mutex& GensioAllocLock();

// RFC 2217's parity values and the parity letters of the line settings.
unsigned GensioParity(char parity);
char ParityLetter(unsigned parity);

}  // namespace kbx
