#pragma once

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "app/desktop.h"
#include "ui/main_window.h"
#include "ui/status_board.h"
#include "xcp_fixture.h"

namespace kbx::test {

// The child of `parent` with the object name; a test failure when there is none.
template <typename T>
T* Child(const QObject* parent, const char* name) {
  T* child = parent->findChild<T*>(name);
  EXPECT_NE(child, nullptr) << name;
  return child;
}

// Runs `act` on the next modal window (or menu) as soon as it is up.
inline void WhenUp(std::function<void(QWidget*)> act) {
  QTimer::singleShot(0, [act = std::move(act)] {
    QWidget* up = QApplication::activePopupWidget();
    if (up == nullptr) up = QApplication::activeModalWidget();
    ASSERT_NE(up, nullptr) << "nothing came up";
    act(up);
  });
}

// A key pressed and let go on the widget.
inline void Press(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers);
  QApplication::sendEvent(widget, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(widget, &release);
}

// The object names of `widget` and the widgets Tab reaches from it, `count` in all.
inline std::vector<std::string> TabChain(QWidget* widget, int count) {
  std::vector<std::string> names;
  for (QWidget* at = widget; count-- > 0;) {
    names.push_back(at->objectName().toStdString());
    do {
      at = at->nextInFocusChain();
    } while (at != widget && !((at->focusPolicy() & Qt::TabFocus) && at->isVisible() && at->isEnabled()));
  }
  return names;
}

// The desktop program on the fake port and the virtual clock: the main window
// as start-up leaves it (or, made with false, before its start-up).
struct DesktopRig {
  explicit DesktopRig(bool start = true) {
    window.SetXcp(&xcp);
    if (start) StartDesktop(window, xcp);
  }
  ~DesktopRig() { window.hide(); }

  QPushButton* Button(const char* name) { return Child<QPushButton>(&window, name); }
  StatusBoard* List() { return Child<StatusBoard>(&window, "List1"); }
  // The lines on the board, top to bottom.
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const QString& line : List()->Lines()) lines.push_back(line.toStdString());
    return lines;
  }
  // Runs `act` on the dialog that the button or menu item `opener` brings
  // up, and closes it when `act` left it open.
  void InDialog(const char* opener, const std::function<void(QWidget*)>& act) {
    bool up = false;
    WhenUp([&](QWidget* dialog) {
      up = true;
      act(dialog);
      if (auto* open = qobject_cast<QDialog*>(dialog); open != nullptr && open->isVisible()) open->reject();
    });
    Use(opener);
    EXPECT_TRUE(up) << opener;
  }
  // Clicks the button, or triggers the menu item, of that name.
  void Use(const char* name) {
    if (auto* button = window.findChild<QPushButton*>(name)) {
      button->click();
    } else {
      Child<QAction>(&window, name)->trigger();
    }
  }

  // A unit of the type with two processors at 1.03 and 5400 s of battery
  // time that accepts every set command.
  void Unit(std::uint16_t type) {
    ups.BeUnit({type});
    ups.answers[0x34] = {Block(4, Join({Bytes(8, 0), {0x18, 0x15, 0x00, 0x00}}))};
    for (std::uint8_t command : Bytes{0x78, 0xBD, 0xCF, 0x95}) ups.answers[command] = {Ack(0x31)};
    ups.Attach(port);
  }
  // Connects to such a unit with the Connect button.
  void Connect(std::uint16_t type) {
    Unit(type);
    Button("cmdConnect")->click();
    ASSERT_TRUE(xcp.LinkUp());
  }

  VirtualClock clock;
  FakePort port{clock};
  MainWindow window;
  Xcp xcp{port, clock, window};
  ScriptedUps ups;
};

}  // namespace kbx::test
