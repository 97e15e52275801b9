#pragma once

#include <sys/types.h>

#include <string>

namespace kbx {

// What a file of this mode is, in words for a message: "a regular file", "a
// folder", "a named pipe (FIFO)", ...
std::string FileKind(mode_t mode);

// Whether both paths lead to one existing file, through any symbolic links
// (/dev/serial/by-id/... to the device it names). Unlike
// std::filesystem::equivalent this holds for devices too.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace kbx
