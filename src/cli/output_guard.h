#pragma once

#include <ostream>
#include <string>

namespace kbx {

// Flushes `stream` and says why it could not be written: empty when it
// could, otherwise the reason ("No space left on device") when the stream
// knows it, or "write error".
std::string WriteFailure(std::ostream& stream);

}  // namespace kbx
