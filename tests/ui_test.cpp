// The windows, driven as a user drives them, on the fake port and the
// virtual clock: outcomes at a glance, a report to copy and save, the
// keyboard, screen readers and large fonts.
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QShortcutEvent>
#include <QTextBrowser>
#include <QTimer>
#include <csignal>
#include <fstream>
#include <set>
#include <tuple>

#include "app/close_on_signals.h"
#include "app/desktop.h"
#include "platform/stop_signals.h"
#include "platform/version.h"
#include "support/lock_folder.h"
#include "support/temp_folder.h"
#include "support/xcp_fixture.h"
#include "support/xcp_probe.h"
#include "ui/board_report.h"
#include "ui/help_viewer.h"
#include "ui/main_window.h"
#include "ui/status_board.h"
#include "ui/window_placement.h"

namespace kbx::test {
namespace {

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
std::vector<std::string> TabChain(QWidget* widget, int count) {
  std::vector<std::string> names;
  for (QWidget* at = widget; std::ssize(names) < count; at = at->nextInFocusChain()) {
    if (at == widget || ((at->focusPolicy() & Qt::TabFocus) && at->isVisible() && at->isEnabled()))
      names.push_back(at->objectName().toStdString());
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

}  // namespace
}  // namespace kbx::test

namespace kbx {
namespace {

using ::testing::ElementsAre;

using test::Child;
using test::Press;
using test::TabChain;
using test::WhenUp;

QString AccessibleText(QWidget* widget, QAccessible::Text which) {
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
  return accessible ? accessible->text(which) : QString();
}

// Whether the rectangle of the image shows the board's amber (red well up)
// rather than only its green (no red at all).
bool ShowsAmber(const QImage& image, const QRect& area) {
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      if (image.rect().contains(x, y) && qRed(image.pixel(x, y)) > 128) return true;
    }
  }
  return false;
}

class Window : public ::testing::Test, protected test::DesktopRig {
 protected:
  QAction* Action(const char* name) { return Child<QAction>(&window, name); }
  QString Label() { return Child<QLabel>(&window, "lblSettings")->text(); }

  // Every command ends with the window taking input and the default pointer.
  void ExpectIdle() {
    EXPECT_TRUE(window.TakesInput());
    EXPECT_TRUE(Button("cmdConnect")->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  }
  // What the lamp in front says to a screen reader, and in its tooltip.
  std::string Lamp() {
    QLabel* front = Child<QLabel>(&window, window.LampShowsConnected() ? "imgConnected" : "imgNotConnected");
    EXPECT_EQ(front->toolTip(), AccessibleText(front, QAccessible::Name));
    return AccessibleText(front, QAccessible::Name).toStdString();
  }
  // The board as drawn: failure lines in bold amber, the others green, on black.
  void ExpectDrawn(const std::vector<bool>& amber) {
    StatusBoard* board = List();
    QApplication::processEvents();  // the list lays its lines out late
    const QImage drawn = board->viewport()->grab().toImage();
    EXPECT_EQ(drawn.pixelColor(drawn.width() - 3, drawn.height() - 3), QColor(Qt::black));
    ASSERT_EQ(board->count(), static_cast<int>(amber.size()));
    for (int row = 0; row < board->count(); ++row) {
      EXPECT_EQ(ShowsAmber(drawn, board->visualItemRect(board->item(row))), amber[row]) << row;
      EXPECT_EQ(board->item(row)->font().bold(), amber[row]) << row;
    }
    EXPECT_EQ(board->LastLineFailed(), amber.back());
  }
};

// A click or a key stroke that waits in the queue, as a user's input does
// while the program blocks.
void QueueClick(QWidget* target) {
  const QPointF centre = QRectF(target->rect()).center();
  const QPointF global = target->mapToGlobal(centre);
  QCoreApplication::postEvent(target, new QMouseEvent(QEvent::MouseButtonPress, centre, global,
                                                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
  QCoreApplication::postEvent(target, new QMouseEvent(QEvent::MouseButtonRelease, centre, global,
                                                      Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
}
void QueueKey(QWidget* target, Qt::Key key) {
  QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
  QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier));
}

// The window as start-up leaves it; Connect and Disconnect by button (Enter
// presses the focused one) and menu. While a command runs the window refuses
// input and shows the hourglass: a click and a key on Connect made meanwhile
// are dropped, so it does not disconnect right after it connected, and the
// focus stays where it was.
TEST_F(Window, StartsThenConnectsAndDisconnectsByButtonAndMenu) {
  EXPECT_EQ(window.windowTitle(), "KBX Configurator");
  EXPECT_EQ(Label(), " COM1,19200,N,8,1");
  EXPECT_FALSE(window.SettingsStrikethru());
  EXPECT_EQ(Lamp(), "Not connected");
  EXPECT_TRUE(Lines().empty());
  EXPECT_TRUE(window.isVisible());

  std::vector<std::string> menus;
  for (QAction* menu : window.menuBar()->actions()) {
    std::string line = menu->text().toStdString() + ":";
    for (QAction* item : menu->menu()->actions())
      line += " " + (item->isSeparator() ? "-" : item->text().toStdString());
    menus.push_back(line);
  }
  EXPECT_THAT(menus, ElementsAre("&File: &Properties - E&xit",
                                 "&UPS: &Connect &Disconect &Update KBX &Battery Time Remain",
                                 "&Help: &Help Topics - &About KBX Configuration Utility"));
  const char* const buttonNames[] = {"cmdPortSettings", "cmdConnect", "Command1", "cmdBattComm"};
  std::vector<std::string> buttons;
  for (const char* name : buttonNames) {
    buttons.push_back(Button(name)->text().toStdString() + "|" + Button(name)->toolTip().toStdString());
  }
  EXPECT_THAT(buttons,
              ElementsAre("Port|Change Baud Rate or COM port", "Connect|Establish Communication with UPS",
                          "Runtime|Get current KBX information from UPS", "KBX|Add KBXs"));

  Unit(290);
  QPushButton* connect = Button("cmdConnect");
  connect->setFocus();
  ASSERT_EQ(window.focusWidget(), connect);
  int looks = 0;
  clock.onSleep = [&] {
    if (++looks == 1) {
      QueueClick(connect);
      QueueKey(connect, Qt::Key_Space);
    }
    EXPECT_FALSE(window.TakesInput());
    for (const char* name : buttonNames) EXPECT_FALSE(Button(name)->isEnabled()) << name;
    EXPECT_FALSE(List()->isEnabled());
    EXPECT_TRUE(Child<QLabel>(&window, "imgConnected")->isEnabled());  // the lamp stays readable
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  };
  Press(connect, Qt::Key_Enter, Qt::KeypadModifier);
  clock.onSleep = nullptr;
  QCoreApplication::processEvents();
  EXPECT_GT(looks, 10);
  EXPECT_THAT(Lines(), ElementsAre("Connecting...", "UPS Found", "Done"));
  ExpectDrawn({false, false, false});
  EXPECT_EQ(Lamp(), "Connected");
  // One connect: no disconnect (0xFF alone), no second identification.
  EXPECT_THAT(ups.RequestsStartingWith(0xFF), ElementsAre(Bytes{0xFF, 0x06, 0x08, 0x62}));
  EXPECT_EQ(ups.RequestsStartingWith(0xA0).size(), 1u);
  EXPECT_EQ(connect->text(), "Disconnect");
  EXPECT_EQ(window.focusWidget(), connect);
  ExpectIdle();

  Action("mnuReadBatteryStatus")->trigger();
  EXPECT_THAT(Lines(), ElementsAre("Getting Time Remain...", "Battery Time Remain:  1:30:00", "Done"));
  Button("cmdConnect")->click();
  EXPECT_THAT(Lines(), ElementsAre("Disconnecting...", "Done"));
  EXPECT_EQ(Button("cmdConnect")->text(), "Connect");
  EXPECT_FALSE(window.LampShowsConnected());

  ups.requests.clear();
  Action("mnuDisconnect")->trigger();  // link down: nothing happens
  EXPECT_TRUE(ups.requests.empty());
  EXPECT_THAT(Lines(), ElementsAre("Disconnecting...", "Done"));

  Action("mnuConnect")->trigger();
  EXPECT_TRUE(xcp.LinkUp());
  ups.requests.clear();
  Action("mnuConnect")->trigger();  // connects again, disconnecting first
  EXPECT_THAT(ups.RequestsStartingWith(0xFF), ElementsAre(Bytes{0xFF}, Bytes{0xFF, 0x06, 0x08, 0x62}));
  EXPECT_TRUE(xcp.LinkUp());
  Action("mnuDisconnect")->trigger();
  EXPECT_FALSE(xcp.LinkUp());
  ExpectIdle();
}

// The box start-up shows for a port failure it knows by
// name; a device the user may not open gets one only when it says why. Every
// reason and fix is a sentence, with its full stop; the COM file's notes
// come last.
TEST(StartUpBox, SaysWhyThePortCouldNotBeOpenedAndWhatToDo) {
  const std::string denied = "/dev/ttyS0 may be opened by root and the group dialout only";
  const std::string fix = "Add the user to the dialout group, then log in again.";
  const std::string held = "/dev/ttyS0 is in use by process 812 (minicom)";
  const std::string note = "ports.conf:2: expected COMn=DEVICE";
  const struct {
    int openError;
    std::string reason, fix;
    std::vector<std::string> notes;
    std::string box;
  } cases[] = {
      {8012, "", "", {}, ""},
      {8012, denied, fix, {}, denied + ".\n" + fix},
      {8005, held, "", {}, "8005 Start: Port already open 1\n\n" + held + "."},
      {8005, "", "", {note, note}, "8005 Start: Port already open 1\n\n" + note + "\n" + note},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.box);
    test::DesktopRig rig(false);
    rig.port.openError = c.openError;
    rig.port.openWhy = PortFailure{c.openError, "/dev/ttyS0", c.reason, c.fix, 0, ""};
    std::string shown;
    QTimer::singleShot(0, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        shown = box->text().toStdString();
        box->accept();
      }
    });
    StartDesktop(rig.window, rig.xcp, c.notes);
    QApplication::processEvents();
    EXPECT_EQ(shown, c.box);
    EXPECT_TRUE(rig.window.SettingsStrikethru());
  }
}

// A command that cannot run says why on the board (a failure line in amber,
// and so the closing Done of a failed command), writes nothing the UPS did
// not ask for, and leaves the window taking input.
TEST_F(Window, ACommandThatCannotRunSaysWhyAndTheWindowRecovers) {
  for (const char* name : {"Command1", "cmdBattComm"}) {
    window.BoardClear();
    Press(Button(name), Qt::Key_Return);  // the KBX dialog does not open
    EXPECT_THAT(Lines(), ElementsAre("Link Down")) << name;
    ExpectDrawn({true});
    ExpectIdle();
  }
  EXPECT_TRUE(port.writes.empty());
  Button("cmdConnect")->click();  // nothing answers
  ASSERT_THAT(Lines(), ElementsAre("Connecting...", "NO UPS Found", "Done"));
  ExpectDrawn({false, true, true});

  // A link that was up, then a device that will not open again: with the
  // port closed, Connect adds nothing to the port's own line.
  Connect(280);
  window.BoardClear();
  port.existing.erase(1);
  xcp.OpenPort();
  ASSERT_TRUE(window.SettingsStrikethru());
  EXPECT_EQ(Lamp(), "Not connected");
  EXPECT_EQ(AccessibleText(Child<QLabel>(&window, "lblSettings"), QAccessible::Name).toStdString(),
            "COM1,19200,N,8,1 (port not open)");
  port.writes.clear();
  Button("cmdConnect")->click();
  EXPECT_THAT(Lines(), ElementsAre("Invalid port number"));
  EXPECT_TRUE(port.writes.empty());
  ExpectIdle();

  port.existing.insert(1);
  xcp.OpenPort();
  Connect(280);
  port.readError = kErrReadDevice;  // the device has gone away
  Button("cmdConnect")->click();
  EXPECT_THAT(Lines(), ElementsAre("Disconnecting...", "8020 Error reading comm device",
                                   "8020 Error reading comm device"));
  ExpectIdle();
}

// A value that is no decimal number (or none at all) is refused where it was
// typed: the focus goes back to its box, and nothing changes.
TEST_F(Window, ThePortDialogRefusesValuesThatAreNoDecimalNumber) {
  InDialog("cmdPortSettings", [&](QWidget* dialog) {
    auto* com = Child<QLineEdit>(dialog, "txtCOM");
    auto* baud = Child<QLineEdit>(dialog, "txtBaud");
    test::XcpProbe::Link(xcp).SetLinkUp(true);
    const struct {
      const char* com;
      const char* baud;
      QLineEdit* refused;
    } cases[] = {
        {"A", "19200", com}, {"2", "", baud}, {"1", "0x10", baud}, {"1", "&h10", baud}, {"1", "12 34", baud}};
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.com) + " " + c.baud);
      com->setText(c.com);
      baud->setText(c.baud);
      Child<QPushButton>(dialog, "cmdApply")->click();
      EXPECT_EQ(dialog->focusWidget(), c.refused);
      EXPECT_EQ(port.Describe().commPort, 1);
      EXPECT_EQ(FormatLineSettings(port.Describe().settings), "19200,N,8,1");
      EXPECT_TRUE(Lines().empty());
      EXPECT_TRUE(xcp.LinkUp());
    }
  });
}

// Applied settings end the link and are kept; a value the port refused shows
// on the board and strikes the label through; corrected, the port opens with
// no line, the label is plain again, and the UPS is found at once. From the
// keyboard: Tab reads row by row, a label's Alt+letter selects the text of its
// box so that typing replaces it, Enter presses the focused button only.
TEST_F(Window, ThePortDialogAppliesWhatThePortTakes) {
  Unit(290);
  QApplication::setActiveWindow(&window);
  InDialog("cmdPortSettings", [&](QWidget* dialog) {
    auto* com = Child<QLineEdit>(dialog, "txtCOM");
    auto* baud = Child<QLineEdit>(dialog, "txtBaud");
    auto* apply = Child<QPushButton>(dialog, "cmdApply");
    EXPECT_EQ(dialog->windowTitle(), "Settings");
    EXPECT_EQ(baud->text(), "19200");
    EXPECT_EQ(com->text(), "1");
    EXPECT_EQ(dialog->focusWidget(), baud);
    EXPECT_THAT(TabChain(baud, 4), ElementsAre("txtBaud", "cmdApply", "txtCOM", "cmdCancel"));
    test::XcpProbe::Link(xcp).SetLinkUp(true);
    for (const auto& [label, edit, typed] :
         {std::tuple("lblBaud", baud, "9600"), std::tuple("lblCom", com, "2")}) {
      EXPECT_EQ(Child<QLabel>(dialog, label)->buddy(), edit);
      edit->deselect();
      QShortcutEvent mnemonic(QKeySequence(Qt::ALT | Qt::Key_B), 0);  // what the label's Alt+letter sends it
      QApplication::sendEvent(Child<QLabel>(dialog, label), &mnemonic);
      EXPECT_EQ(dialog->focusWidget(), edit) << label;
      EXPECT_EQ(edit->selectedText(), edit->text()) << label;
      edit->insert(typed);  // as typing does: it replaces the selection
    }
    Press(com, Qt::Key_Return);  // in a box Enter applies nothing
    EXPECT_EQ(port.Describe().commPort, 1);
    EXPECT_TRUE(xcp.LinkUp());
    Press(apply, Qt::Key_Return);
    EXPECT_FALSE(xcp.LinkUp());
    EXPECT_EQ(port.Describe().commPort, 2);
    EXPECT_EQ(FormatLineSettings(port.Describe().settings), "9600,N,8,1");
    EXPECT_EQ(Label(), " COM2,9600,N,8,1");
    EXPECT_FALSE(window.LampShowsConnected());
    EXPECT_EQ(xcp.StoredPortSettings().comPort, 2);
    // A port another program holds: the dialog says who, and so does the
    // settings label's tooltip while the port is not open.
    PortFailure held;
    held.number = 8005;
    held.reason = "/dev/ttyS1 is in use by process 812 (minicom): it holds flock() on the port";
    held.fix = "Close the program that uses the port, or choose another port.";
    const QString why = QString::fromStdString(held.reason + ".\n" + held.fix);
    const struct {
      const char* com;
      const char* baud;
      std::vector<std::string> board;
      bool held = false;
    } steps[] = {{"1", "12345", {"Invalid Baud Rate"}},
                 {"1", "19200", {}},
                 {"9", "19200", {"Invalid port number"}},
                 {"2", "19200", {"Port already open"}, true},
                 {"1", "19200", {}}};
    auto* whyLabel = Child<QLabel>(dialog, "lblWhy");
    for (const auto& step : steps) {
      SCOPED_TRACE(std::string(step.com) + " " + step.baud);
      if (step.held) {
        port.openError = held.number;
        port.openWhy = held;
      }
      com->setText(step.com);
      baud->setText(step.baud);
      apply->click();
      EXPECT_EQ(Lines(), step.board);
      EXPECT_EQ(window.SettingsStrikethru(), !step.board.empty());
      EXPECT_EQ(whyLabel->isVisible(), step.held);
      if (step.held) {
        EXPECT_EQ(whyLabel->text(), why);
      }
      EXPECT_EQ(Child<QLabel>(&window, "lblSettings")->toolTip().contains(why), step.held);
    }
    EXPECT_EQ(Child<QLabel>(&window, "lblSettings")->toolTip(),
              "Shows Comport, Baud Rate, Parity, Data bits, Stop Bit");
    EXPECT_EQ(Label(), " COM1,19200,N,8,1");
    EXPECT_TRUE(port.IsOpen());
    Press(Child<QPushButton>(dialog, "cmdCancel"), Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
  });
  Button("cmdConnect")->click();
  EXPECT_THAT(Lines(), ElementsAre("Connecting...", "UPS Found", "Done"));
}

// The KBX dialog opens beside the main window; under its controls a strip
// says how the last update ended, in the board's colours.
TEST_F(Window, KbxDialogAppliesAndRemembersTheChoicesAndOffersNoneForAnUnknownType) {
  Connect(290);
  window.move(window.screen()->availableGeometry().topLeft());
  auto answer = [](QMessageBox::StandardButton button, std::string* text) {
    WhenUp([button, text](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      ASSERT_NE(box, nullptr);
      *text = box->text().toStdString();
      EXPECT_EQ(box->windowTitle(), "Update KBX Configuration");
      EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
      box->button(button)->click();
    });
  };
  std::string question;
  InDialog("cmdBattComm", [&](QWidget* dialog) {
    EXPECT_EQ(dialog->windowTitle(), "KBX Options");
    EXPECT_FALSE(dialog->frameGeometry().intersects(window.frameGeometry()));
    EXPECT_TRUE(window.screen()->availableGeometry().contains(dialog->frameGeometry()));
    auto* outcome = Child<QLabel>(dialog, "lblOutcome");
    EXPECT_EQ(outcome->text(), "The outcome of Apply shows here");
    auto* combo = Child<QComboBox>(dialog, "cmbKBX");
    auto* apply = Child<QPushButton>(dialog, "cmdApply");
    ASSERT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->currentText(), "0");
    EXPECT_TRUE(Child<QRadioButton>(dialog, "BTCEnable1")->isChecked());
    EXPECT_TRUE(apply->isEnabled());
    EXPECT_THAT(Lines(), ElementsAre("Determining KBXs Supported...", "Done"));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the dialog put the pointer back
    // From the keyboard: the label's Alt+letter leads to the list, Tab reads in order.
    EXPECT_EQ(Child<QLabel>(dialog, "Label1")->buddy(), combo);
    EXPECT_THAT(TabChain(Child<QRadioButton>(dialog, "BTCEnable1"), 5),
                ElementsAre("BTCEnable1", "BTCEnable0", "cmbKBX", "cmdApply", "cmdExit"));

    combo->setCurrentIndex(1);
    answer(QMessageBox::No, &question);
    Press(apply, Qt::Key_Return);
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(xcp.ModuleCount(), "0");

    combo->setCurrentIndex(2);
    Child<QRadioButton>(dialog, "BTCEnable0")->setChecked(true);
    answer(QMessageBox::Yes, &question);
    apply->click();
    EXPECT_THAT(Lines(), ElementsAre("Updating KBXs...", "Done"));
    EXPECT_EQ(outcome->text(), "Done");
    EXPECT_FALSE(ShowsAmber(outcome->grab().toImage(), outcome->rect()));
    EXPECT_EQ(AccessibleText(outcome, QAccessible::Name), "Outcome: Done");
    EXPECT_FALSE(Child<QLabel>(dialog, "lblOutcomeDetail")->isVisible());
    EXPECT_FALSE(apply->isEnabled());
    EXPECT_TRUE(Child<QRadioButton>(dialog, "BTCEnable0")->isChecked());  // as the UPS now has it
    Press(Child<QPushButton>(dialog, "cmdExit"), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(dialog->isVisible());
  });
  EXPECT_NE(question.find("Number of KBXs selected:  2 \n\nContinue? "), std::string::npos) << question;
  EXPECT_EQ(xcp.ModuleCount(), "2");
  EXPECT_FALSE(xcp.BatteryTestEnabled());
  ExpectIdle();

  InDialog("mnuUpdateKBX", [&](QWidget* dialog) {
    EXPECT_EQ(Child<QComboBox>(dialog, "cmbKBX")->currentText(), "2");
    EXPECT_TRUE(Child<QRadioButton>(dialog, "BTCEnable0")->isChecked());
    EXPECT_TRUE(Child<QPushButton>(dialog, "cmdApply")->isEnabled());
    Press(dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
  });
  ExpectIdle();

  // A type it does not know: nothing to choose or apply.
  test::XcpProbe::SetUpsType(xcp, 281);
  InDialog("cmdBattComm", [&](QWidget* dialog) {
    EXPECT_EQ(Child<QComboBox>(dialog, "cmbKBX")->count(), 0);
    EXPECT_FALSE(Child<QPushButton>(dialog, "cmdApply")->isEnabled());
    EXPECT_FALSE(Child<QRadioButton>(dialog, "BTCEnable0")->isEnabled());
    EXPECT_FALSE(Child<QRadioButton>(dialog, "BTCEnable1")->isEnabled());
    EXPECT_THAT(Lines(), ElementsAre("Determining KBXs Supported...", "Unknown UPS Type"));
  });
}

// Apply, Exit and Escape while a failing module update runs are dropped: one
// confirmation, one update, the board as the update left it, the dialog open
// and Apply still there for another try. The strip says in amber where the
// update stopped and what to do: from the update's outcome, not the board.
TEST_F(Window, TheKbxDialogDropsInputMadeDuringTheUpdate) {
  Connect(290);
  ups.answers[0x78] = {test::Ack(0x31), test::Ack(0x31), test::Ack(0x32)};
  ups.requests.clear();
  int confirmations = 0;
  QTimer answerer;
  QObject::connect(&answerer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    ++confirmations;
    box->button(confirmations == 1 ? QMessageBox::Yes : QMessageBox::No)->click();
  });
  answerer.start(5);
  InDialog("cmdBattComm", [&](QWidget* dialog) {
    auto* apply = Child<QPushButton>(dialog, "cmdApply");
    auto* exit = Child<QPushButton>(dialog, "cmdExit");
    const std::initializer_list<QWidget*> controls{apply, exit, Child<QComboBox>(dialog, "cmbKBX"),
                                                   Child<QRadioButton>(dialog, "BTCEnable1"),
                                                   Child<QRadioButton>(dialog, "BTCEnable0")};
    int looks = 0;
    std::set<std::string> takingInput;  // controls found enabled while the update ran
    clock.onSleep = [&] {
      const auto board = Lines();
      if (board.empty() || board.front() != "Updating KBXs...") return;
      for (QWidget* control : controls)
        if (control->isEnabled()) takingInput.insert(control->objectName().toStdString());
      if (++looks > 1) return;
      QueueClick(apply);
      QueueKey(apply, Qt::Key_Space);
      QueueClick(exit);
      QueueKey(dialog, Qt::Key_Escape);
    };
    Child<QComboBox>(dialog, "cmbKBX")->setCurrentIndex(2);
    apply->click();
    clock.onSleep = nullptr;
    QCoreApplication::processEvents();
    EXPECT_GT(looks, 5);
    EXPECT_THAT(takingInput, ::testing::IsEmpty());
    EXPECT_EQ(confirmations, 1);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_THAT(Lines(), ElementsAre("Updating KBXs...", "Command Not Implemented (32)",
                                     "Error Resetting EEPROM Checksum"));
    auto* outcome = Child<QLabel>(dialog, "lblOutcome");
    EXPECT_EQ(outcome->text(), "Error Resetting EEPROM Checksum");
    EXPECT_TRUE(ShowsAmber(outcome->grab().toImage(), outcome->rect()));
    EXPECT_TRUE(outcome->font().bold());
    EXPECT_EQ(
        Child<QLabel>(dialog, "lblOutcomeDetail")->text(),
        "The update stopped at step 4 of 4 (the EEPROM checksum reset): the UPS did not acknowledge it; the "
        "UPS confirmed only the module count, the battery base time and the battery base time in RAM; run "
        "the update again.");
    for (QWidget* control : controls)
      EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();
    answerer.stop();
  });
  // One update: the three set commands and the checksum reset, once each.
  EXPECT_EQ(ups.RequestsStartingWith(0x78).size(), 3u);
  EXPECT_EQ(ups.RequestsStartingWith(0xBD).size(), 1u);
}

// The Help menu: the About box, the program's icon; without its file the
// help shows the viewer's notice and changes nothing, and it closes with the
// main window.
TEST_F(Window, TheHelpMenusAboutBoxAndHelpWithoutItsFile) {
  EXPECT_FALSE(window.windowIcon().pixmap(32).isNull());
  InDialog("AboutOption", [&](QWidget* about) {
    EXPECT_EQ(about->windowTitle(), "About KBX Configurator");
    EXPECT_EQ(Child<QLabel>(about, "lblVersion")->text(), QString("Version ") + kProgramVersion);
    EXPECT_EQ(
        Child<QLabel>(about, "lblDescription")->text(),
        "The KBX Configurator updates value associated with numbers of KBXs stored inside UPS.  This results "
        "in accurate Battery Time Remain calculations.  Refer to Help for more details.");
    Press(about, Qt::Key_Return);
    EXPECT_FALSE(about->isVisible());
  });

  BrowserHelpViewer help;
  window.SetHelpViewer(&help);
  window.SetHelpFile("/nonexistent/KBX.html");
  Action("HelpTopics")->trigger();
  ASSERT_NE(help.window(), nullptr);
  EXPECT_TRUE(help.window()->isVisible());
  EXPECT_TRUE(help.window()->toPlainText().contains("cannot be found"));
  EXPECT_TRUE(Lines().empty());
  EXPECT_TRUE(port.IsOpen());
  window.close();
  EXPECT_FALSE(help.window()->isVisible());
}

// A close request or a stop signal during a command is held; the command
// runs to its end, then the window and the port close.
TEST(Closing, ARequestOrAStopSignalDuringACommandIsCarriedOutWhenItEnds) {
  InstallStopSignals(StopMode::kNoteEvery, "ui_test");
  for (const bool bySignal : {false, true}) {
    SCOPED_TRACE(bySignal ? "stop signal" : "close request");
    test::DesktopRig rig;
    bool sleeping = false;
    CloseOnSignals closer(rig.window, [&] { return sleeping; });
    rig.Unit(290);
    bool asked = false;
    rig.clock.onSleep = [&] {
      if (asked) return;
      asked = true;
      if (!bySignal) {
        EXPECT_FALSE(rig.window.close());
        return;
      }
      std::raise(SIGTERM);
      sleeping = true;
      closer.Poll();  // as its timer does, in one of the command's pauses
      sleeping = false;
      EXPECT_TRUE(rig.window.isVisible());
    };
    rig.Button("cmdConnect")->click();
    rig.clock.onSleep = nullptr;
    EXPECT_TRUE(asked);
    EXPECT_THAT(rig.Lines(), ElementsAre("Connecting...", "UPS Found", "Done"));
    if (bySignal) {
      EXPECT_TRUE(rig.window.isVisible());
      closer.Poll();  // its next look
    }
    EXPECT_FALSE(rig.window.isVisible());
    EXPECT_TRUE(rig.window.Closed());
    EXPECT_FALSE(rig.port.IsOpen());
  }
  ClearStopSignals();
}

// Whatever window is open when the signal is taken (the start-up box, a
// dialog, a question), it closes, and so do the main window and the port;
// nothing waits for the user.
TEST(StopSignal, ClosesEveryDialogAndTheWindow) {
  const struct {
    const char* dialog;
    const char* opener;  // after a connect; none: the box start-up shows
  } cases[] = {{"startUpBox", nullptr},
               {"frmKBXConfig", "cmdBattComm"},
               {"kbxConfirm", "cmdBattComm"},
               {"frmAbout", "AboutOption"},
               {"frmSettings", "cmdPortSettings"}};
  InstallStopSignals(StopMode::kNoteEvery, "ui_test");
  for (const auto& c : cases) {
    test::DesktopRig rig(false);
    if (!c.opener) rig.port.openError = 8005;
    CloseOnSignals closer(rig.window, [] { return false; });
    std::string seen;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      QWidget* up = QApplication::activeModalWidget();
      if (up == nullptr || up->objectName() != c.dialog) return;
      seen = c.dialog;
      std::raise(SIGTERM);
      closer.Poll();
    });
    watch.start(0);
    StartDesktop(rig.window, rig.xcp);
    if (c.opener) {
      rig.Connect(290);
      if (std::string(c.dialog) == "kbxConfirm") {
        WhenUp([](QWidget* dialog) { Child<QPushButton>(dialog, "cmdApply")->click(); });
      }
      rig.Use(c.opener);
    }
    watch.stop();
    EXPECT_EQ(seen, c.dialog);
    EXPECT_TRUE(rig.window.Closed()) << c.dialog;
    EXPECT_FALSE(rig.port.IsOpen()) << c.dialog;
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << c.dialog;
    ClearStopSignals();
  }
}

// --- the board and its report ----------------------------------------------------------

// Ctrl+C with nothing on the board keeps the clipboard, else copies the lines
// the user picked, in board order; Shift+F10 opens the menu, whose Copy All
// copies every line; the board never selects or scrolls by itself.
TEST_F(Window, CopiesWhatTheUserSelectsOrEverythingAndNeverSelectsOrScrollsByItself) {
  StatusBoard* board = List();
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->setText("kept");
  Press(board, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(clipboard->text(), "kept");
  Connect(290);
  for (int i = 0; i < 40; ++i) window.AddToBoard("line " + std::to_string(i));
  EXPECT_TRUE(board->selectedItems().isEmpty());
  EXPECT_EQ(board->verticalScrollBar()->value(), 0);
  QStringList all = board->Lines();
  ASSERT_EQ(all.size(), 43);

  board->clearSelection();
  board->item(2)->setSelected(true);
  board->item(0)->setSelected(true);
  Press(board, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(clipboard->text(), "Connecting...\nDone");

  clipboard->clear();
  QStringList items;
  WhenUp([&](QWidget* up) {
    auto* menu = qobject_cast<QMenu*>(up);
    ASSERT_NE(menu, nullptr);
    for (QAction* action : menu->actions()) items << (action->isSeparator() ? "-" : action->text());
    Child<QAction>(menu, "boardCopyAll")->trigger();
    menu->close();
  });
  Press(board, Qt::Key_F10, Qt::ShiftModifier);
  EXPECT_EQ(items, QStringList({"&Copy", "Copy &All", "-", "&Save Report As..."}));
  EXPECT_EQ(clipboard->text(), all.join('\n'));
}

TEST(BoardReport, NoUpsAndAClosedPort) {
  ReportFacts facts;
  facts.dateTime = "2026-12-06 16:40:12 +00:00";
  facts.programVersion = "1.2.1";
  facts.portSettings = "COM9,19200,N,8,1";
  facts.processorVersions = {"1.03"};  // left from an earlier unit; no type, so not shown
  EXPECT_EQ(BoardReport(facts, {"Invalid port number"}),
            "KBX Configurator report\n"
            "Date and time: 2026-12-06 16:40:12 +00:00\n"
            "Program version: 1.2.1\n"
            "Port: COM9,19200,N,8,1 (not open)\n"
            "Link: down\n"
            "UPS type: none identified\n"
            "\n"
            "Status board:\n"
            "Invalid port number\n");
}

// A report that cannot be written is an error and makes nothing; one over a
// file that was there replaces it; Save Report As on the board's menu writes
// one where the user says.
TEST_F(Window, SaveReportAsWritesTheFactsAndEveryLine) {
  SessionView view;
  view.deviceOf = [](int com) { return "/dev/ttyS" + std::to_string(com - 1); };
  view.simulatedCom = 1;
  window.SetSessionView(view);
  Connect(290);
  InDialog("cmdPortSettings", [](QWidget* dialog) {
    Child<QLineEdit>(dialog, "txtBaud")->setText("12345");
    Child<QPushButton>(dialog, "cmdApply")->click();
    Child<QLineEdit>(dialog, "txtBaud")->setText("19200");
    Child<QPushButton>(dialog, "cmdApply")->click();
  });
  Button("cmdConnect")->click();
  Button("Command1")->click();
  TempFolder folder;
  QString error;
  EXPECT_FALSE(window.SaveReport(QString::fromStdString(folder.path + "/missing/report.txt"), error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_FALSE(std::filesystem::exists(folder.path + "/missing"));
  const std::string kept = folder.path + "/kept.txt";
  std::ofstream(kept) << "kept\n";
  ASSERT_TRUE(window.SaveReport(QString::fromStdString(kept), error)) << error.toStdString();

  const std::string path = folder.path + "/report.txt";
  WhenUp([&](QWidget* up) {
    auto* menu = qobject_cast<QMenu*>(up);
    ASSERT_NE(menu, nullptr);
    WhenUp([&](QWidget* dialog) {
      auto* files = qobject_cast<QFileDialog*>(dialog);
      ASSERT_NE(files, nullptr);
      files->selectFile(QString::fromStdString(path));
      static_cast<QDialog*>(files)->accept();  // as its Save button does
    });
    menu->close();
    Child<QAction>(menu, "boardSaveReport")->trigger();
  });
  Press(List(), Qt::Key_F10, Qt::ShiftModifier);

  const QRegularExpression expected(
      "^KBX Configurator report\n"
      "Date and time: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [+-]\\d\\d:\\d\\d\n"
      "Program version: " +
      QRegularExpression::escape(kProgramVersion) +
      "\n"
      "Port: COM1,19200,N,8,1\n"
      "Device: /dev/ttyS0 \\(simulated UPS\\)\n"
      "Baud 12345 rejected: Invalid Baud Rate\n"
      "Link: up\n"
      "UPS type: 290\n"
      "Processor 1 version: 1\\.03\n"
      "Processor 2 version: 1\\.03\n"
      "\n"
      "Status board:\n"
      "Getting Time Remain\\.\\.\\.\n"
      "Battery Time Remain:  1:30:00\n"
      "Done\n$");
  for (const std::string& file : {path, kept}) {
    EXPECT_TRUE(expected.match(QString::fromStdString(ReadFile(file))).hasMatch()) << ReadFile(file);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path), {}), 2);  // no temporary left
}

// --- where a window opens, at any font size --------------------------------------------

// Beside the owner, inside the screen, covering as little as possible, and
// never over the owner's top strip (menus, lamp, settings label) when any
// place spares it. At scale 2 a 1280x1024 screen is 640x512: a dialog fits
// nowhere beside the window.
TEST(Placement, BesideTheOwnerInsideTheScreenCoveringAsLittleAsPossible) {
  const QRect screen(0, 0, 1280, 800);
  const QRect small(0, 0, 640, 512);
  const QRect owner(100, 60, 440, 330);
  const QRect strip(100, 60, 440, 90);
  const struct {
    const char* where;
    QRect screen;
    QRect owner;
    QSize frame;
    QPoint expected;
    QRect strip{};  // none
  } cases[] = {
      {"right of a centred owner", screen, QRect(400, 200, 440, 360), QSize(300, 200), QPoint(848, 200)},
      {"below an owner at the right edge", screen, QRect(900, 100, 380, 300), QSize(300, 200),
       QPoint(900, 408)},
      {"left of a tall owner at the right edge", screen, QRect(900, 0, 380, 800), QSize(300, 200),
       QPoint(592, 0)},
      {"above a wide owner at the bottom", screen, QRect(0, 500, 1100, 300), QSize(300, 200), QPoint(0, 292)},
      {"pulled up into the screen", screen, QRect(400, 700, 440, 100), QSize(300, 200), QPoint(848, 600)},
      // Too large to miss the owner: where it covers the least (here the left).
      {"least covered", screen, QRect(200, 0, 1080, 800), QSize(400, 800), QPoint(0, 0)},
      {"pushed up from below, clear of the strip", small, owner, QSize(300, 220), QPoint(100, 292), strip},
      {"too tall to spare the strip: least covered", small, owner, QSize(300, 500), QPoint(340, 12), strip},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.where);
    const QPoint placed = PlaceBeside(c.owner, c.frame, c.screen, c.strip);
    EXPECT_EQ(placed, c.expected);
    EXPECT_TRUE(c.screen.contains(QRect(placed, c.frame)));
  }
}

// Every control a screen reader meets has a name, and a description where
// its tooltip says more; no button's or label's text is wider (or taller)
// than the widget that shows it.
void ExpectEveryControlNamedAndNothingClipped(QWidget* window) {
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    if (!widget->isVisibleTo(window)) continue;
    const std::string name = widget->objectName().toStdString();
    const bool control = qobject_cast<QAbstractButton*>(widget) || qobject_cast<QLineEdit*>(widget) ||
                         qobject_cast<QComboBox*>(widget) || qobject_cast<QListWidget*>(widget) ||
                         qobject_cast<QLabel*>(widget) || qobject_cast<QGroupBox*>(widget);
    if (control) {
      EXPECT_FALSE(AccessibleText(widget, QAccessible::Name).isEmpty()) << name;
      if (!widget->toolTip().isEmpty()) {
        EXPECT_FALSE(AccessibleText(widget, QAccessible::Description).isEmpty()) << name;
      }
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
      EXPECT_LE(button->sizeHint().width(), button->width()) << name << " " << button->text().toStdString();
      EXPECT_LE(button->sizeHint().height(), button->height()) << name;
    } else if (auto* label = qobject_cast<QLabel*>(widget); label && !label->text().isEmpty()) {
      if (label->wordWrap()) {
        EXPECT_LE(label->heightForWidth(label->width()), label->height()) << name;
      } else {
        EXPECT_LE(label->sizeHint().width(), label->width()) << name << " " << label->text().toStdString();
        EXPECT_LE(label->sizeHint().height(), label->height()) << name;
      }
    } else if (auto* radio = qobject_cast<QRadioButton*>(widget)) {
      EXPECT_LE(radio->sizeHint().width(), radio->width()) << name;
    }
  }
}

// At twice the usual font every window, the main window in the middle of the
// screen, connected and with a long line on the board, takes its size from
// its fonts: fixed, it clips nothing and names its controls. A dialog opens on
// the screen and never over the main window's top strip, even the KBX dialog,
// which finds no room beside the main window.
TEST(EveryWindow, AtTwiceTheFontClipsNothingAndNamesItsControls) {
  const QFont normal = QApplication::font();
  QFont large = normal;
  large.setPointSizeF(normal.pointSizeF() * 2);
  QApplication::setFont(large);
  {
    test::DesktopRig rig;
    rig.Connect(290);  // "Disconnect" on the button
    rig.window.AddToBoard("Command Accepted with parameter adjusted (37)");
    const QRect screen = rig.window.screen()->availableGeometry();
    rig.window.move(screen.center() - rig.window.rect().center());
    const auto check = [&](QWidget* window) {
      const std::string name = window->objectName().toStdString();
      ExpectEveryControlNamedAndNothingClipped(window);
      EXPECT_EQ(window->minimumSize(), window->maximumSize()) << name;
      if (window == &rig.window) return;
      const QRect frame = window->frameGeometry();
      EXPECT_TRUE(screen.contains(frame)) << name;
      EXPECT_FALSE(frame.intersects(rig.window.TopStrip())) << name;
      if (name == "frmKBXConfig") {
        EXPECT_TRUE(frame.intersects(rig.window.frameGeometry()));  // no room beside it
      }
    };
    check(&rig.window);
    for (const char* opener : {"cmdPortSettings", "cmdBattComm", "AboutOption"}) rig.InDialog(opener, check);
  }
  QApplication::setFont(normal);
}

// --- help ------------------------------------------------------------------------------

// The help window: beside its owner, wide enough for its text; Back, Forward
// and Home; Forward returns to the section and scroll position Back left;
// Escape closes it.
TEST(Help, BackForwardHomeAndClosedByEscape) {
  TempFolder folder;
  const std::string home = folder.path + "/KBX.html";
  std::string lines;
  for (int i = 0; i < 200; ++i) lines += "<p>line " + std::to_string(i) + "</p>";
  WriteFile(home, "<html><head><title>KBX Help</title></head><body><pre>" + std::string(90, 'x') +
                      "</pre><a href=\"#far\">far</a>" + lines + "<h3><a name=\"far\"></a>Far</h3>" + lines +
                      "</body></html>");
  QWidget owner;
  owner.setGeometry(QRect(owner.screen()->availableGeometry().topLeft(), QSize(120, 100)));
  owner.show();
  BrowserHelpViewer help;
  help.ShowContents(home, &owner);
  QTextBrowser* browser = help.window();
  ASSERT_NE(browser, nullptr);
  QWidget* window = browser->window();
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "KBX Help");
  EXPECT_FALSE(window->frameGeometry().intersects(owner.frameGeometry()));
  QApplication::processEvents();
  EXPECT_EQ(browser->horizontalScrollBar()->maximum(), 0);
  auto* back = Child<QAction>(window, "helpBack");
  auto* forward = Child<QAction>(window, "helpForward");
  EXPECT_FALSE(back->isEnabled());
  // The link has the keyboard focus when it is followed.
  Press(browser, Qt::Key_Tab);
  ASSERT_EQ(browser->textCursor().selectedText(), "far");
  QUrl far = QUrl::fromLocalFile(QString::fromStdString(home));
  far.setFragment("far");
  browser->setSource(far);
  QApplication::processEvents();
  QScrollBar* scroll = browser->verticalScrollBar();
  scroll->setValue(scroll->value() + 40);  // read on a little
  const int there = scroll->value();
  ASSERT_GT(there, 0);
  ASSERT_TRUE(back->isEnabled());
  back->trigger();
  QApplication::processEvents();
  EXPECT_EQ(scroll->value(), 0);
  ASSERT_TRUE(forward->isEnabled());
  forward->trigger();
  QApplication::processEvents();
  EXPECT_EQ(browser->source().fragment(), "far");
  EXPECT_EQ(scroll->value(), there);

  Child<QAction>(window, "helpHome")->trigger();
  EXPECT_TRUE(browser->source().fragment().isEmpty());
  EXPECT_EQ(scroll->value(), 0);

  QApplication::setActiveWindow(window);
  Press(browser, Qt::Key_Escape);
  EXPECT_FALSE(window->isVisible());
}

}  // namespace
}  // namespace kbx

// GoogleMock's main with a lock folder of the tests' own, under a
// QApplication, offscreen unless QT_QPA_PLATFORM names another platform (to
// watch the tests under a real X server).
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  kbx::test::KeepLockFilesApart();
  return RUN_ALL_TESTS();
}
