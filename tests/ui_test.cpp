// The windows, driven as a user drives them, on the fake port and the
// virtual clock.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcutEvent>
#include <QTextBrowser>
#include <QTimer>
#include <csignal>
#include <set>
#include <tuple>

#include "app/close_on_signals.h"
#include "platform/stop_signals.h"
#include "platform/version.h"
#include "support/desktop_rig.h"
#include "support/xcp_probe.h"
#include "ui/help_viewer.h"

namespace kbx {
namespace {

using ::testing::ElementsAre;

using test::Child;
using test::NextTabStop;
using test::Press;
using test::WhenUp;

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
  EXPECT_FALSE(window.LampShowsConnected());
  EXPECT_EQ(Button("cmdConnect")->text(), "Connect");
  EXPECT_TRUE(Lines().empty());
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);

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
  std::vector<std::string> buttons;
  for (const char* name : {"cmdPortSettings", "cmdConnect", "Command1", "cmdBattComm"}) {
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
    for (const char* name : {"cmdPortSettings", "cmdConnect", "Command1", "cmdBattComm"}) {
      EXPECT_FALSE(Button(name)->isEnabled()) << name;
    }
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
  EXPECT_TRUE(window.LampShowsConnected());
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

// The box start-up shows over the window for a port failure it knows by
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
    bool visibleUnderBox = false;
    QTimer::singleShot(0, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        shown = box->text().toStdString();
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        visibleUnderBox = rig.window.isVisible();
        box->accept();
      }
    });
    StartDesktop(rig.window, rig.xcp, c.notes);
    QApplication::processEvents();
    EXPECT_EQ(shown, c.box);
    EXPECT_EQ(visibleUnderBox, !c.box.empty());
    EXPECT_TRUE(rig.window.SettingsStrikethru());
  }
}

// A command that cannot run says why on the board, writes nothing the UPS
// did not ask for, and leaves the window taking input.
TEST_F(Window, ACommandThatCannotRunSaysWhyAndTheWindowRecovers) {
  for (const char* name : {"Command1", "cmdBattComm"}) {
    window.BoardClear();
    Press(Button(name), Qt::Key_Return);  // the KBX dialog does not open
    EXPECT_THAT(Lines(), ElementsAre("Link Down")) << name;
    EXPECT_TRUE(List()->LastLineFailed()) << name;
    ExpectIdle();
  }
  EXPECT_TRUE(port.writes.empty());

  Connect(280);
  port.readError = kErrReadDevice;  // the device has gone away
  Button("cmdConnect")->click();
  ASSERT_FALSE(Lines().empty());
  EXPECT_EQ(Lines().back(), "8020 Error reading comm device");
  ExpectIdle();

  // With the port closed, Connect adds nothing to the port's own line.
  window.BoardClear();
  port.existing.erase(1);
  xcp.OpenPort();
  ASSERT_TRUE(window.SettingsStrikethru());
  port.writes.clear();
  Button("cmdConnect")->click();
  EXPECT_THAT(Lines(), ElementsAre("Invalid port number"));
  EXPECT_TRUE(port.writes.empty());
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
    auto* exit = Child<QPushButton>(dialog, "cmdCancel");
    EXPECT_EQ(dialog->windowTitle(), "Settings");
    EXPECT_EQ(baud->text(), "19200");
    EXPECT_EQ(com->text(), "1");
    EXPECT_EQ(com->maxLength(), 1);
    EXPECT_EQ(baud->maxLength(), 5);
    EXPECT_EQ(dialog->focusWidget(), baud);
    EXPECT_EQ(NextTabStop(baud), apply);
    EXPECT_EQ(NextTabStop(apply), com);
    EXPECT_EQ(NextTabStop(com), exit);
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
    EXPECT_TRUE(dialog->isVisible());
    Press(exit, Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
  });
  Button("cmdConnect")->click();
  EXPECT_THAT(Lines(), ElementsAre("Connecting...", "UPS Found", "Done"));
  InDialog("cmdPortSettings", [](QWidget* dialog) {
    Press(Child<QLineEdit>(dialog, "txtCOM"), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
  });
  EXPECT_THAT(Lines(), ElementsAre("Connecting...", "UPS Found", "Done"));
}

TEST_F(Window, KbxDialogAppliesAndRemembersTheChoicesAndOffersNoneForAnUnknownType) {
  Connect(290);
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
    EXPECT_EQ(NextTabStop(Child<QRadioButton>(dialog, "BTCEnable1")),
              Child<QRadioButton>(dialog, "BTCEnable0"));
    EXPECT_EQ(NextTabStop(Child<QRadioButton>(dialog, "BTCEnable0")), combo);
    EXPECT_EQ(NextTabStop(combo), apply);
    EXPECT_EQ(NextTabStop(apply), Child<QPushButton>(dialog, "cmdExit"));

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
    EXPECT_FALSE(apply->isEnabled());
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

TEST_F(Window, AboutBoxAndTheProgramsIcon) {
  const QIcon icon = window.windowIcon();
  for (int size : {16, 32, 64}) EXPECT_FALSE(icon.pixmap(size).isNull()) << size;
  InDialog("AboutOption", [&](QWidget* about) {
    EXPECT_EQ(about->windowTitle(), "About KBX Configurator");
    EXPECT_EQ(about->windowIcon().cacheKey(), icon.cacheKey());
    EXPECT_EQ(Child<QLabel>(about, "lblVersion")->text(), QString("Version ") + kProgramVersion);
    EXPECT_EQ(
        Child<QLabel>(about, "lblDescription")->text(),
        "The KBX Configurator updates value associated with numbers of KBXs stored inside UPS.  This results "
        "in accurate Battery Time Remain calculations.  Refer to Help for more details.");
    Press(about, Qt::Key_Return);
    EXPECT_FALSE(about->isVisible());
  });
}

TEST_F(Window, HelpWithoutItsFileShowsTheViewersNoticeAndChangesNothing) {
  BrowserHelpViewer help;
  window.SetHelpViewer(&help);
  window.SetHelpFile("/nonexistent/KBX.html");
  Action("HelpTopics")->trigger();
  ASSERT_NE(help.window(), nullptr);
  EXPECT_TRUE(help.window()->isVisible());
  EXPECT_TRUE(help.window()->toPlainText().contains("cannot be found"));
  EXPECT_TRUE(Lines().empty());
  EXPECT_TRUE(port.IsOpen());
  help.Quit();
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

// Apply, Exit and Escape while a failing module update runs are dropped: one
// confirmation, one update, the board as the update left it, the dialog open
// and Apply still there for another try.
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
    bool readable = true;
    std::set<std::string> takingInput;  // controls found enabled while the update ran
    clock.onSleep = [&] {
      const auto board = Lines();
      if (board.empty() || board.front() != "Updating KBXs...") return;
      for (QWidget* control : controls)
        if (control->isEnabled()) takingInput.insert(control->objectName().toStdString());
      // The dialog stays readable.
      readable = readable && dialog->isEnabled() && Child<QLabel>(dialog, "Label1")->isEnabled();
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
    EXPECT_TRUE(readable);
    EXPECT_EQ(confirmations, 1);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_THAT(Lines(), ElementsAre("Updating KBXs...", "Command Not Implemented (32)",
                                     "Error Resetting EEPROM Checksum"));
    for (QWidget* control : controls)
      EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();
    answerer.stop();
  });
  // One update: the three set commands and the checksum reset, once each.
  EXPECT_EQ(ups.RequestsStartingWith(0x78).size(), 3u);
  EXPECT_EQ(ups.RequestsStartingWith(0xBD).size(), 1u);
}

// Whatever window is open when the signal is taken (the start-up box, a
// dialog, a question), it closes, and so do the main window and the port;
// nothing waits for the user.
TEST(StopSignal, ClosesEveryDialogAndTheWindow) {
  struct Case {
    const char* dialog;
    const char* opener;  // after a connect; none: the box start-up shows
  };
  const Case cases[] = {{"startUpBox", nullptr},
                        {"frmKBXConfig", "cmdBattComm"},
                        {"kbxConfirm", "cmdBattComm"},
                        {"frmAbout", "AboutOption"},
                        {"frmSettings", "cmdPortSettings"}};
  InstallStopSignals(StopMode::kNoteEvery, "ui_test");
  for (const Case& c : cases) {
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

}  // namespace
}  // namespace kbx
