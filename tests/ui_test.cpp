// The windows, driven as a user drives them, on the fake port and the
// virtual clock.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBrowser>
#include <QTimer>
#include <csignal>
#include <set>

#include "app/close_on_signals.h"
#include "app/desktop.h"
#include "platform/stop_signals.h"
#include "platform/version.h"
#include "support/desktop_rig.h"
#include "support/xcp_fixture.h"
#include "support/xcp_probe.h"
#include "ui/help_viewer.h"
#include "ui/main_window.h"
#include "ui/status_board.h"

namespace kbx {
namespace {

using ::testing::ElementsAre;

using test::Child;
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

TEST_F(Window, StartsWithTheDefaultPortAndTheRedLamp) {
  EXPECT_EQ(window.windowTitle(), "KBX Configurator");
  EXPECT_EQ(Label(), " COM1,19200,N,8,1");
  EXPECT_FALSE(window.SettingsStrikethru());
  EXPECT_FALSE(window.LampShowsConnected());
  EXPECT_EQ(Button("cmdConnect")->text(), "Connect");
  EXPECT_TRUE(Board().empty());
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
}

TEST(StartUpBox, ShownForPortFailuresButNotForADeviceThatWillNotOpen) {
  struct Case {
    int openError;
    std::string box;
  };
  const Case cases[] = {{8012, ""}, {8005, "8005 Start: Port already open 1"}};
  for (const auto& c : cases) {
    test::VirtualClock clock;
    test::FakePort port(clock);
    MainWindow window;
    Xcp xcp(port, clock, window);
    window.SetXcp(&xcp);
    port.openError = c.openError;
    std::string shown;
    bool visibleUnderBox = false;
    QTimer::singleShot(0, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        shown = box->text().toStdString();
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        visibleUnderBox = window.isVisible();
        box->accept();
      }
    });
    StartDesktop(window, xcp);
    QApplication::processEvents();
    EXPECT_EQ(shown, c.box) << c.openError;
    EXPECT_EQ(visibleUnderBox, !c.box.empty());
    EXPECT_TRUE(window.SettingsStrikethru());
    window.hide();
  }
}

TEST(StartUpBox, SaysWhyThePortCouldNotBeOpenedAndWhatToDo) {
  PortFailure denied;
  denied.number = 8012;
  denied.reason = "/dev/ttyS0 may be opened by root and the group dialout only";
  denied.fix = "Add the user to the dialout group, then log in again.";
  PortFailure held = denied;
  held.number = 8005;
  held.reason = "/dev/ttyS0 is in use by process 812 (minicom)";
  held.fix = "";
  const auto failed = [](const PortFailure& why) {
    return StartUpOutcome{PortError{why.number, ErrorDescription(why.number), why}};
  };
  // 8012 alone gives no box; with a reason it gets one, with the fix below.
  EXPECT_EQ(StartUpBoxText(StartUpOutcome{}), "");
  EXPECT_EQ(StartUpBoxText(failed({8012, "/dev/ttyS0", "", "", 0, ""})), "");
  // Every reason and fix is a sentence, with its full stop.
  EXPECT_EQ(StartUpBoxText(failed(denied)), denied.reason + ".\n" + denied.fix);
  EXPECT_EQ(StartUpBoxText(failed(held)), "8005 Start: Port already open 1\n\n" + held.reason + ".");
  // A failure without words adds nothing to the box.
  held.reason = "";
  EXPECT_EQ(StartUpBoxText(failed(held)), "8005 Start: Port already open 1");
}

TEST_F(Window, ConnectAndDisconnectByButtonAndMenu) {
  Connect(290);
  EXPECT_THAT(Board(), ElementsAre("Connecting...", "UPS Found", "Done"));
  EXPECT_EQ(Button("cmdConnect")->text(), "Disconnect");
  EXPECT_TRUE(window.LampShowsConnected());
  ExpectIdle();

  Button("cmdConnect")->click();
  EXPECT_THAT(Board(), ElementsAre("Disconnecting...", "Done"));
  EXPECT_EQ(Button("cmdConnect")->text(), "Connect");
  EXPECT_FALSE(window.LampShowsConnected());

  ups.requests.clear();
  Action("mnuDisconnect")->trigger();  // link down: nothing happens
  EXPECT_TRUE(ups.requests.empty());
  EXPECT_THAT(Board(), ElementsAre("Disconnecting...", "Done"));

  Action("mnuConnect")->trigger();
  EXPECT_TRUE(xcp.LinkUp());
  ups.requests.clear();
  Action("mnuConnect")->trigger();  // connects again, disconnecting first
  EXPECT_EQ(ups.RequestsStartingWith(0xFF).front(), Bytes{0xFF});
  EXPECT_TRUE(xcp.LinkUp());
  Action("mnuDisconnect")->trigger();
  EXPECT_FALSE(xcp.LinkUp());
  ExpectIdle();
}

TEST_F(Window, TheConnectButtonDoesNothingWhileThePortIsClosed) {
  port.existing.erase(1);
  xcp.OpenPort();
  ASSERT_TRUE(window.SettingsStrikethru());
  Button("cmdConnect")->click();
  EXPECT_THAT(Board(), ElementsAre("Invalid port number"));
  ExpectIdle();
}

TEST_F(Window, WhileACommandRunsTheWindowRefusesInputAndShowsTheHourglass) {
  Unit(280);
  int looks = 0;
  clock.onSleep = [&] {
    ++looks;
    EXPECT_FALSE(window.TakesInput());
    for (const char* name : {"cmdPortSettings", "cmdConnect", "Command1", "cmdBattComm"}) {
      EXPECT_FALSE(Button(name)->isEnabled()) << name;
    }
    EXPECT_FALSE(Child<QListWidget>(&window, "List1")->isEnabled());
    EXPECT_TRUE(Child<QLabel>(&window, "imgConnected")->isEnabled());  // the lamp stays readable
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  };
  Button("cmdConnect")->click();
  Button("Command1")->click();
  clock.onSleep = nullptr;
  EXPECT_GT(looks, 10);
  ExpectIdle();
}

TEST_F(Window, TheKeyboardFocusStaysOnTheButtonThatRanTheCommand) {
  Unit(290);
  Button("cmdConnect")->setFocus();
  ASSERT_EQ(window.focusWidget(), Button("cmdConnect"));
  Button("cmdConnect")->click();
  EXPECT_EQ(window.focusWidget(), Button("cmdConnect"));
}

TEST_F(Window, RuntimeShowsTheTimeOrLinkDown) {
  Button("Command1")->click();
  EXPECT_THAT(Board(), ElementsAre("Link Down"));
  EXPECT_TRUE(Child<StatusBoard>(&window, "List1")->LastLineFailed());
  EXPECT_TRUE(port.writes.empty());
  ExpectIdle();
  Connect(290);
  Action("mnuReadBatteryStatus")->trigger();
  EXPECT_THAT(Board(), ElementsAre("Getting Time Remain...", "Battery Time Remain:  1:30:00", "Done"));
  ExpectIdle();
}

TEST_F(Window, AnErrorNoOperationTrapsBecomesALineAndTheWindowRecovers) {
  Connect(280);
  port.readError = kErrReadDevice;  // the device has gone away
  Button("cmdConnect")->click();
  EXPECT_EQ(Board().back(), "8020 Error reading comm device");
  ExpectIdle();
}

TEST_F(Window, PortSettings) {
  bool checked = false;
  WhenUp([&](QWidget* dialog) {
    auto* com = Child<QLineEdit>(dialog, "txtCOM");
    auto* baud = Child<QLineEdit>(dialog, "txtBaud");
    EXPECT_EQ(dialog->windowTitle(), "Settings");
    EXPECT_EQ(baud->text(), "19200");
    EXPECT_EQ(com->text(), "1");
    EXPECT_EQ(com->maxLength(), 1);
    EXPECT_EQ(baud->maxLength(), 5);
    test::XcpProbe::Link(xcp).SetLinkUp(true);

    com->setText("A");
    Child<QPushButton>(dialog, "cmdApply")->click();
    EXPECT_TRUE(Board().empty());
    EXPECT_EQ(dialog->focusWidget(), com);
    EXPECT_TRUE(xcp.LinkUp());
    EXPECT_EQ(port.Describe().commPort, 1);

    com->setText("2");
    baud->setText("");
    Child<QPushButton>(dialog, "cmdApply")->click();
    EXPECT_EQ(dialog->focusWidget(), baud);

    baud->setText("9600");
    Child<QPushButton>(dialog, "cmdApply")->click();
    EXPECT_FALSE(xcp.LinkUp());
    EXPECT_EQ(port.Describe().commPort, 2);
    EXPECT_EQ(port.Describe().settings, "9600,N,8,1");
    EXPECT_EQ(Label(), " COM2,9600,N,8,1");
    EXPECT_FALSE(window.LampShowsConnected());
    EXPECT_TRUE(dialog->isVisible());

    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(com, &escape);
    EXPECT_FALSE(dialog->isVisible());
    checked = true;
  });
  Button("cmdPortSettings")->click();
  EXPECT_TRUE(checked);
  EXPECT_EQ(xcp.StoredPortSettings().comPort, "2");
}

// A value the port refused, corrected: the port opens with no line, the label
// is plain again, and the UPS is found at once.
TEST_F(Window, ACorrectedPortValueOpensThePortAtOnce) {
  Unit(290);
  bool checked = false;
  WhenUp([&](QWidget* dialog) {
    struct Step {
      const char* com;
      const char* baud;
      std::vector<std::string> board;
    };
    const Step steps[] = {{"1", "12345", {"Invalid Baud Rate"}},
                          {"1", "19200", {}},
                          {"9", "19200", {"Invalid port number"}},
                          {"1", "19200", {}}};
    for (const Step& step : steps) {
      Child<QLineEdit>(dialog, "txtCOM")->setText(step.com);
      Child<QLineEdit>(dialog, "txtBaud")->setText(step.baud);
      Child<QPushButton>(dialog, "cmdApply")->click();
      EXPECT_EQ(Board(), step.board) << step.com << " " << step.baud;
      EXPECT_EQ(window.SettingsStrikethru(), !step.board.empty()) << step.com << " " << step.baud;
    }
    EXPECT_EQ(Label(), " COM1,19200,N,8,1");
    EXPECT_TRUE(port.IsOpen());
    qobject_cast<QDialog*>(dialog)->reject();
    checked = true;
  });
  Button("cmdPortSettings")->click();
  ASSERT_TRUE(checked);
  Button("cmdConnect")->click();
  EXPECT_THAT(Board(), ElementsAre("Connecting...", "UPS Found", "Done"));
  WhenUp([](QWidget* dialog) { qobject_cast<QDialog*>(dialog)->reject(); });
  Button("cmdPortSettings")->click();
  EXPECT_THAT(Board(), ElementsAre("Connecting...", "UPS Found", "Done"));
}

// A port another program holds: the Port dialog says who after the failed
// Apply, and so does the settings label's tooltip while the port is not open.
TEST_F(Window, AHeldPortSaysWhoHoldsItInThePortDialogAndTheTooltip) {
  PortFailure held;
  held.number = 8005;
  held.reason = "/dev/ttyS1 is in use by process 812 (minicom): it holds flock() on the port";
  held.fix = "Close the program that uses the port, or choose another port.";
  const std::string why = held.reason + ".\n" + held.fix;
  bool checked = false;
  WhenUp([&](QWidget* dialog) {
    auto* whyLabel = Child<QLabel>(dialog, "lblWhy");
    EXPECT_FALSE(whyLabel->isVisible());
    port.openError = 8005;
    port.openWhy = held;
    Child<QLineEdit>(dialog, "txtCOM")->setText("2");
    Child<QPushButton>(dialog, "cmdApply")->click();
    EXPECT_THAT(Board(), ElementsAre("Port already open"));
    EXPECT_TRUE(whyLabel->isVisible());
    EXPECT_EQ(whyLabel->text().toStdString(), why);
    EXPECT_THAT(Child<QLabel>(&window, "lblSettings")->toolTip().toStdString(), ::testing::HasSubstr(why));
    // Corrected: the reason goes, from the dialog and the tooltip.
    Child<QLineEdit>(dialog, "txtCOM")->setText("1");
    Child<QPushButton>(dialog, "cmdApply")->click();
    EXPECT_TRUE(Board().empty());
    EXPECT_FALSE(whyLabel->isVisible());
    EXPECT_EQ(Child<QLabel>(&window, "lblSettings")->toolTip(),
              "Shows Comport, Baud Rate, Parity, Data bits, Stop Bit");
    qobject_cast<QDialog*>(dialog)->reject();
    checked = true;
  });
  Button("cmdPortSettings")->click();
  EXPECT_TRUE(checked);
}

// What the Port dialog takes for a number: decimal digits only.
TEST_F(Window, ThePortDialogRefusesValuesThatAreNoDecimalNumber) {
  bool checked = false;
  WhenUp([&](QWidget* dialog) {
    auto* baud = Child<QLineEdit>(dialog, "txtBaud");
    for (const char* text : {"0x10", "&h10", "12 34"}) {
      baud->setText(text);
      Child<QPushButton>(dialog, "cmdApply")->click();
      EXPECT_EQ(dialog->focusWidget(), baud) << text;
      EXPECT_EQ(port.Describe().settings, "19200,N,8,1") << text;
      EXPECT_TRUE(Board().empty()) << text;
    }
    qobject_cast<QDialog*>(dialog)->reject();
    checked = true;
  });
  Button("cmdPortSettings")->click();
  EXPECT_TRUE(checked);
}

// The device vanishes while a unit is being accepted: the port does not open
// again, and the window shows the link as it is.
TEST_F(Window, ALinkWhosePortFailsToOpenShowsRedAndConnect) {
  Unit(290);
  const auto answer = port.onWrite;
  port.onWrite = [&, answer](const Bytes& frame) {
    answer(frame);
    if (frame.size() == 7 && frame[2] == 0xFF) port.existing.erase(1);  // the link start
  };
  Button("cmdConnect")->click();
  EXPECT_THAT(Board(), ElementsAre("Connecting...", "UPS Found", "Invalid port number", "Done"));
  EXPECT_FALSE(xcp.LinkUp());
  EXPECT_FALSE(window.LampShowsConnected());
  EXPECT_EQ(Button("cmdConnect")->text(), "Connect");
  EXPECT_TRUE(window.SettingsStrikethru());
  ExpectIdle();
}

TEST_F(Window, KbxWithTheLinkDownOpensNoDialog) {
  Button("cmdBattComm")->click();
  EXPECT_THAT(Board(), ElementsAre("Link Down"));
  ExpectIdle();
}

TEST_F(Window, KbxDialogOnA290AppliesTwoModulesAndRemembersTheChoices) {
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
  WhenUp([&](QWidget* dialog) {
    EXPECT_EQ(dialog->windowTitle(), "KBX Options");
    auto* combo = Child<QComboBox>(dialog, "cmbKBX");
    auto* apply = Child<QPushButton>(dialog, "cmdApply");
    ASSERT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->currentText(), "0");
    EXPECT_TRUE(Child<QRadioButton>(dialog, "BTCEnable1")->isChecked());
    EXPECT_TRUE(apply->isEnabled());
    EXPECT_THAT(Board(), ElementsAre("Determining KBXs Supported...", "Done"));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the dialog put the pointer back

    combo->setCurrentIndex(1);
    answer(QMessageBox::No, &question);
    apply->click();
    EXPECT_TRUE(Board().empty());
    EXPECT_EQ(xcp.ModuleCount(), "0");

    combo->setCurrentIndex(2);
    Child<QRadioButton>(dialog, "BTCEnable0")->setChecked(true);
    answer(QMessageBox::Yes, &question);
    apply->click();
    EXPECT_THAT(Board(), ElementsAre("Updating KBXs...", "Done"));
    EXPECT_FALSE(apply->isEnabled());
    Child<QPushButton>(dialog, "cmdExit")->click();
  });
  ups.requests.clear();
  Button("cmdBattComm")->click();
  EXPECT_NE(question.find("Number of KBXs selected:  2 \n\nContinue? "), std::string::npos) << question;
  EXPECT_THAT(ups.requests, ElementsAre(Bytes{0x78, 0x20, 0x05, 0x00}, Bytes{0x78, 0x38, 0x88, 0x20},
                                        Bytes{0xBD, 0x69, 0x02, 0x88, 0x20}, Bytes{0x78, 0x00}));
  EXPECT_EQ(xcp.ModuleCount(), "2");
  EXPECT_FALSE(xcp.BatteryTestEnabled());
  ExpectIdle();

  WhenUp([&](QWidget* dialog) {
    EXPECT_EQ(Child<QComboBox>(dialog, "cmbKBX")->currentText(), "2");
    EXPECT_TRUE(Child<QRadioButton>(dialog, "BTCEnable0")->isChecked());
    EXPECT_TRUE(Child<QPushButton>(dialog, "cmdApply")->isEnabled());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(dialog, &escape);
  });
  Action("mnuUpdateKBX")->trigger();
  ExpectIdle();
}

TEST_F(Window, KbxDialogForAnUnknownType) {
  Connect(280);
  test::XcpProbe::SetUpsType(xcp, 281);
  WhenUp([&](QWidget* dialog) {
    EXPECT_EQ(Child<QComboBox>(dialog, "cmbKBX")->count(), 0);
    EXPECT_FALSE(Child<QPushButton>(dialog, "cmdApply")->isEnabled());
    EXPECT_FALSE(Child<QRadioButton>(dialog, "BTCEnable0")->isEnabled());
    EXPECT_FALSE(Child<QRadioButton>(dialog, "BTCEnable1")->isEnabled());
    EXPECT_THAT(Board(), ElementsAre("Determining KBXs Supported...", "Unknown UPS Type"));
    qobject_cast<QDialog*>(dialog)->reject();
  });
  Button("cmdBattComm")->click();
}

TEST_F(Window, AboutBox) {
  WhenUp([](QWidget* about) {
    EXPECT_EQ(about->windowTitle(), "About KBX Configurator");
    EXPECT_EQ(Child<QLabel>(about, "lblVersion")->text(), QString("Version ") + kProgramVersion);
    EXPECT_EQ(
        Child<QLabel>(about, "lblDescription")->text(),
        "The KBX Configurator updates value associated with numbers of KBXs stored inside UPS.  This results "
        "in accurate Battery Time Remain calculations.  Refer to Help for more details.");
    // Each text wraps at the box's width, and only when it must.
    const int width = Child<QLabel>(about, "lblDescription")->width();
    for (const char* name : {"lblAuthor", "Label1"}) {
      auto* label = Child<QLabel>(about, name);
      EXPECT_EQ(label->width(), width) << name;
      if (label->fontMetrics().horizontalAdvance(label->text()) < width) {
        EXPECT_LT(label->height(), 2 * label->fontMetrics().lineSpacing()) << name;
      }
    }
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(about, &enter);
    EXPECT_FALSE(about->isVisible());
  });
  Action("AboutOption")->trigger();
}

TEST_F(Window, HelpWithoutItsFileShowsTheViewersNoticeAndChangesNothing) {
  BrowserHelpViewer help;
  window.SetHelpViewer(&help);
  window.SetHelpFile("/nonexistent/KBX.html");
  Action("HelpTopics")->trigger();
  ASSERT_NE(help.window(), nullptr);
  EXPECT_TRUE(help.window()->isVisible());
  EXPECT_TRUE(help.window()->toPlainText().contains("cannot be found"));
  EXPECT_TRUE(Board().empty());
  EXPECT_TRUE(port.IsOpen());
  help.Quit();
}

TEST_F(Window, ACloseRequestDuringACommandIsCarriedOutWhenItEnds) {
  Unit(290);
  bool asked = false;
  clock.onSleep = [&] {
    if (asked) return;
    asked = true;
    EXPECT_FALSE(window.close());  // held
  };
  Button("cmdConnect")->click();
  clock.onSleep = nullptr;
  EXPECT_TRUE(asked);
  EXPECT_THAT(Board(), ElementsAre("Connecting...", "UPS Found", "Done"));  // the command ran to its end
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(Window, AStopSignalWaitsForTheRunningCommandThenEndsTheProgram) {
  InstallStopSignals(StopMode::kNoteEvery, "ui_test");
  bool sleeping = false;
  CloseOnSignals closer(window, [&] { return sleeping; });
  Unit(290);
  bool raised = false;
  clock.onSleep = [&] {
    if (raised) return;
    raised = true;
    std::raise(SIGTERM);
    sleeping = true;
    closer.Poll();  // as its timer does, in one of the command's pauses
    sleeping = false;
    EXPECT_TRUE(window.isVisible());  // held
  };
  Button("cmdConnect")->click();
  clock.onSleep = nullptr;
  EXPECT_TRUE(raised);
  EXPECT_THAT(Board(), ElementsAre("Connecting...", "UPS Found", "Done"));  // the command ran to its end
  EXPECT_TRUE(window.isVisible());
  closer.Poll();  // its next look
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(window.Closed());
  EXPECT_FALSE(port.IsOpen());
  ClearStopSignals();
}

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

// A click and a key on Connect while the connect runs are dropped: the
// window does not disconnect right after it connected.
TEST_F(Window, TheMainWindowDropsInputMadeDuringACommand) {
  Unit(290);
  QPushButton* connect = Button("cmdConnect");
  connect->setFocus();
  bool queued = false;
  clock.onSleep = [&] {
    if (queued) return;
    queued = true;
    QueueClick(connect);
    QueueKey(connect, Qt::Key_Space);
  };
  connect->click();
  clock.onSleep = nullptr;
  QCoreApplication::processEvents();
  ASSERT_TRUE(queued);
  EXPECT_THAT(Board(), ElementsAre("Connecting...", "UPS Found", "Done"));
  EXPECT_TRUE(xcp.LinkUp());
  // One connect: no disconnect (0xFF alone), no second identification.
  EXPECT_THAT(ups.RequestsStartingWith(0xFF), ElementsAre(Bytes{0xFF, 0x06, 0x08, 0x62}));
  EXPECT_EQ(ups.RequestsStartingWith(0xA0).size(), 1u);
  EXPECT_EQ(connect->text(), "Disconnect");
}

// Apply, Exit and Escape while the module update runs are dropped: one
// confirmation, one update, the board as the update left it, the dialog open.
TEST_F(Window, TheKbxDialogDropsInputMadeDuringTheUpdate) {
  Unit(290);
  struct Case {
    const char* what;
    Bytes checksumAck;
    std::vector<std::string> board;
    bool applyAfter;
  };
  const Case cases[] = {
      {"update done", test::Ack(0x31), {"Updating KBXs...", "Done"}, false},
      {"update failed",
       test::Ack(0x32),
       {"Updating KBXs...", "Command Not Implemented (32)", "Error Resetting EEPROM Checksum"},
       true},
  };
  Button("cmdConnect")->click();
  ASSERT_TRUE(xcp.LinkUp());
  for (const Case& c : cases) {
    ups.answers[0x78] = {test::Ack(0x31), test::Ack(0x31), c.checksumAck};
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
    bool dialogSeen = false;
    QTimer::singleShot(0, [&] {
      QWidget* dialog = QApplication::activeModalWidget();
      ASSERT_NE(dialog, nullptr);
      dialogSeen = true;
      auto* apply = Child<QPushButton>(dialog, "cmdApply");
      auto* exit = Child<QPushButton>(dialog, "cmdExit");
      auto* combo = Child<QComboBox>(dialog, "cmbKBX");
      auto* enable = Child<QRadioButton>(dialog, "BTCEnable1");
      auto* disable = Child<QRadioButton>(dialog, "BTCEnable0");
      int looks = 0;
      bool queued = false;
      bool readable = true;
      std::set<std::string> takingInput;  // controls found enabled while the update ran
      clock.onSleep = [&] {
        const auto board = Board();
        if (board.empty() || board.front() != "Updating KBXs...") return;
        ++looks;
        for (QWidget* control : std::initializer_list<QWidget*>{apply, exit, combo, enable, disable})
          if (control->isEnabled()) takingInput.insert(control->objectName().toStdString());
        // The dialog stays readable.
        readable = readable && dialog->isEnabled() && Child<QLabel>(dialog, "Label1")->isEnabled();
        if (queued) return;
        queued = true;
        QueueClick(apply);
        QueueKey(apply, Qt::Key_Space);
        QueueClick(exit);
        QueueKey(dialog, Qt::Key_Escape);
      };
      combo->setCurrentIndex(2);
      apply->click();
      clock.onSleep = nullptr;
      QCoreApplication::processEvents();
      EXPECT_GT(looks, 5) << c.what;
      EXPECT_TRUE(queued) << c.what;
      EXPECT_THAT(takingInput, ::testing::IsEmpty()) << c.what;
      EXPECT_TRUE(readable) << c.what;
      EXPECT_EQ(confirmations, 1) << c.what;
      EXPECT_TRUE(dialog->isVisible()) << c.what;
      EXPECT_EQ(Board(), c.board) << c.what;
      EXPECT_EQ(apply->isEnabled(), c.applyAfter) << c.what;
      for (QWidget* control : std::initializer_list<QWidget*>{exit, combo, enable, disable})
        EXPECT_TRUE(control->isEnabled()) << c.what << " " << control->objectName().toStdString();
      answerer.stop();
      if (dialog->isVisible()) exit->click();
    });
    Button("cmdBattComm")->click();
    EXPECT_TRUE(dialogSeen) << c.what;
    // One update: the three set commands and the checksum reset, once each.
    EXPECT_EQ(ups.RequestsStartingWith(0x78).size(), 3u) << c.what;
    EXPECT_EQ(ups.RequestsStartingWith(0xBD).size(), 1u) << c.what;
  }
}

// Whatever dialog is open when the signal is taken, it closes, and so do the
// window and the port; nothing waits for the user.
TEST(StopSignal, ClosesEveryDialogAndTheWindow) {
  struct Case {
    const char* dialog;
    std::function<void(test::DesktopRig&)> open;
  };
  const Case cases[] = {
      {"frmKBXConfig", [](test::DesktopRig& rig) { rig.Button("cmdBattComm")->click(); }},
      {"kbxConfirm",
       [](test::DesktopRig& rig) {
         WhenUp([](QWidget* dialog) { Child<QPushButton>(dialog, "cmdApply")->click(); });
         rig.Button("cmdBattComm")->click();
       }},
      {"frmAbout", [](test::DesktopRig& rig) { Child<QAction>(&rig.window, "AboutOption")->trigger(); }},
      {"frmSettings", [](test::DesktopRig& rig) { rig.Button("cmdPortSettings")->click(); }},
  };
  InstallStopSignals(StopMode::kNoteEvery, "ui_test");
  for (const Case& c : cases) {
    test::DesktopRig rig;
    rig.Connect(290);
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
    c.open(rig);
    watch.stop();
    EXPECT_EQ(seen, c.dialog);
    EXPECT_TRUE(rig.window.Closed()) << c.dialog;
    EXPECT_FALSE(rig.port.IsOpen()) << c.dialog;
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << c.dialog;
    ClearStopSignals();
  }
}

TEST(StopSignal, ClosesTheStartUpBox) {
  InstallStopSignals(StopMode::kNoteEvery, "ui_test");
  test::VirtualClock clock;
  test::FakePort port(clock);
  MainWindow window;
  Xcp xcp(port, clock, window);
  window.SetXcp(&xcp);
  port.openError = 8005;
  CloseOnSignals closer(window, [] { return false; });
  bool boxUp = false;
  QTimer::singleShot(0, [&] {
    boxUp = QApplication::activeModalWidget() != nullptr &&
            QApplication::activeModalWidget()->objectName() == "startUpBox";
    std::raise(SIGTERM);
    closer.Poll();
  });
  StartDesktop(window, xcp);
  EXPECT_TRUE(boxUp);
  EXPECT_TRUE(window.Closed());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  ClearStopSignals();
}

}  // namespace
}  // namespace kbx
