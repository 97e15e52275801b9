#pragma once

namespace kbx {

// Puts the baud rate on the terminal `fd`, in both directions; rates without
// a constant of their own (14400, 28800, 56000, 128000, 256000) as a rate of
// their own. False when the driver refuses it.
bool SetLineSpeed(int fd, int baud);

// The baud rate the terminal `fd` sends at; -1 when it cannot be read.
int LineSpeed(int fd);

}  // namespace kbx
