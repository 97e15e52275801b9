#include "ui/keyboard.h"

#include <QKeyEvent>
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

}  // namespace

void PressOnEnter(std::initializer_list<QPushButton*> buttons) {
  for (QPushButton* button : buttons) button->installEventFilter(new EnterPresses(button));
}

}  // namespace kbx
