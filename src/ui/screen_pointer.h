#pragma once

namespace kbx {

// The application-wide mouse pointer: the hourglass while the program is
// busy, the default otherwise. Setting it twice is setting it once.
enum class Pointer { kDefault, kHourglass };
void SetScreenPointer(Pointer pointer);

}  // namespace kbx
