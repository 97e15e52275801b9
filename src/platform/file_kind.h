#pragma once

#include <sys/types.h>

#include <string>

namespace kbx {

// What a file of this mode is, in words for a message: "a regular file", "a
// folder", "a named pipe (FIFO)", ...
std::string FileKind(mode_t mode);

}  // namespace kbx
