#pragma once

#include <initializer_list>

class QPushButton;

namespace kbx {

// Enter (and the keypad's Enter) presses these buttons while they have the
// focus, as Space does. Only the focused button: Enter in a text box presses
// nothing.
void PressOnEnter(std::initializer_list<QPushButton*> buttons);

}  // namespace kbx
