#include "ui/keyboard.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace kbx {

namespace {

class EnterPresses : public QObject {
 public:
  explicit EnterPresses(QPushButton* button) : QObject(button), button_(button) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != button_ || event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (!enter || (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) return false;
    if (button_->isEnabled()) button_->click();
    return true;
  }

 private:
  QPushButton* button_;
};

// The label's own mnemonic only moves the focus, and not even that when the
// box has it already; this one selects the text as well.
class MnemonicSelects : public QObject {
 public:
  MnemonicSelects(QLabel* label, QLineEdit* box) : QObject(label), box_(box) {}

  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::Shortcut || !box_->isEnabled()) return false;
    box_->setFocus(Qt::ShortcutFocusReason);
    box_->selectAll();
    return true;
  }

 private:
  QLineEdit* box_;
};

}  // namespace

void SelectOnMnemonic(QLabel* label, QLineEdit* box) {
  label->setBuddy(box);
  label->installEventFilter(new MnemonicSelects(label, box));
}

void PressOnEnter(std::initializer_list<QPushButton*> buttons) {
  for (QPushButton* button : buttons) button->installEventFilter(new EnterPresses(button));
}

}  // namespace kbx
