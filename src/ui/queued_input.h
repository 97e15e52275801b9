#pragma once

namespace kbx {

// Clicks and keys that queued up while a command blocked the program are
// delivered now, while the controls still refuse input, so that none of them
// acts after the command. Call it before the controls take input again.
void DropQueuedInput();

}  // namespace kbx
