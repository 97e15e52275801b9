#pragma once

#include <QIcon>

namespace kbx {

// The program's own icon, the one its desktop entry names, at the sizes a
// window manager asks for.
QIcon ProgramIcon();

}  // namespace kbx
