#pragma once

#include <initializer_list>

class QLabel;
class QLineEdit;
class QPushButton;

namespace kbx {

// Enter (and the keypad's Enter) presses these buttons while they have the
// focus, as Space does. Only the focused button: Enter in a text box presses
// nothing.
void PressOnEnter(std::initializer_list<QPushButton*> buttons);

// A label's Alt+letter puts the focus in its text box with the text selected,
// as Tab does, so that typing replaces the value.
void SelectOnMnemonic(QLabel* label, QLineEdit* box);

}  // namespace kbx
