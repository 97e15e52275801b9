// The desktop program as a technician meets it: outcomes at a glance, a
// report to copy and save, the keyboard, screen readers and large fonts.
// Window tests run offscreen on the fake port and the virtual clock.
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QSet>
#include <QTextBrowser>
#include <QTextDocumentFragment>
#include <fstream>
#include <map>

#include "link/board_lines.h"
#include "link/protocol.h"
#include "platform/version.h"
#include "support/desktop_rig.h"
#include "support/temp_folder.h"
#include "ui/board_report.h"
#include "ui/help_viewer.h"
#include "ui/program_icon.h"
#include "ui/window_placement.h"

namespace kbx {
namespace {

using ::testing::ElementsAre;

// --- the saved report ----------------------------------------------------------------

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

// --- where a window opens --------------------------------------------------------------

// Beside the owner, inside the screen, covering as little as possible, and
// never over the owner's top strip (menus, lamp, settings label) when any
// place spares it. At scale 2 a 1280x1024 screen is 640x512: a dialog fits
// nowhere beside the window.
TEST(Placement, BesideTheOwnerInsideTheScreenCoveringAsLittleAsPossible) {
  const QRect screen(0, 0, 1280, 800);
  const QRect small(0, 0, 640, 512);
  const QRect owner(100, 60, 440, 330);
  const QRect strip(100, 60, 440, 90);
  struct Case {
    const char* where;
    QRect screen;
    QRect owner;
    QSize frame;
    QPoint expected;
    QRect strip{};  // none
  };
  const Case cases[] = {
      {"right of a centred owner", screen, QRect(400, 200, 440, 360), QSize(300, 200), QPoint(848, 200)},
      {"below an owner at the right edge", screen, QRect(900, 100, 380, 300), QSize(300, 200),
       QPoint(900, 408)},
      {"left of a tall owner at the right edge", screen, QRect(900, 0, 380, 800), QSize(300, 200),
       QPoint(592, 0)},
      {"below a wide owner", screen, QRect(0, 0, 1100, 300), QSize(300, 200), QPoint(0, 308)},
      {"above a wide owner at the bottom", screen, QRect(0, 500, 1100, 300), QSize(300, 200), QPoint(0, 292)},
      {"pulled up into the screen", screen, QRect(400, 700, 440, 100), QSize(300, 200), QPoint(848, 600)},
      // Too large to miss the owner: where it covers the least (here the left).
      {"least covered", screen, QRect(200, 0, 1080, 800), QSize(400, 800), QPoint(0, 0)},
      {"pushed up from below, clear of the strip", small, owner, QSize(300, 220), QPoint(100, 292), strip},
      {"too tall to spare the strip: least covered", small, owner, QSize(300, 500), QPoint(340, 12), strip},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    const QPoint placed = PlaceBeside(c.owner, c.frame, c.screen, c.strip);
    EXPECT_EQ(placed, c.expected);
    EXPECT_TRUE(c.screen.contains(QRect(placed, c.frame)));
  }
}

// --- the windows -----------------------------------------------------------------------

using test::Child;
using test::Press;
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

// The desktop program on the fake port: the main window as start-up leaves it.
class Desk : public ::testing::Test, protected test::DesktopRig {};
using Board = Desk;
using KbxDialog = Desk;
using ScreenReader = Desk;

// Failure lines in bold amber, progress in green, on black; the closing Done
// of a failed command amber, of one that succeeded green.
TEST_F(Board, FailureLinesInAmberProgressInGreen) {
  StatusBoard* board = List();
  auto expectDrawn = [&](const std::vector<bool>& amber) {
    QApplication::processEvents();  // the list lays its lines out late
    const QImage drawn = board->viewport()->grab().toImage();
    EXPECT_EQ(drawn.pixelColor(drawn.width() - 3, drawn.height() - 3), QColor(Qt::black));
    ASSERT_EQ(board->count(), static_cast<int>(amber.size()));
    for (int row = 0; row < board->count(); ++row) {
      QListWidgetItem* item = board->item(row);
      EXPECT_EQ(ShowsAmber(drawn, board->visualItemRect(item)), amber[row]) << row;
      EXPECT_EQ(item->font().bold(), amber[row]) << row;
    }
    EXPECT_EQ(board->LastLineFailed(), amber.back());
  };
  Button("cmdConnect")->click();  // nothing answers
  ASSERT_THAT(Lines(), ElementsAre("Connecting...", "NO UPS Found", "Done"));
  expectDrawn({false, true, true});
  Connect(290);
  ASSERT_THAT(Lines(), ElementsAre("Connecting...", "UPS Found", "Done"));
  expectDrawn({false, false, false});
}

// Ctrl+C with nothing on the board keeps the clipboard; Ctrl+A, Ctrl+C copy
// every line, Ctrl+C the lines the user picked, in board order; Shift+F10
// opens the menu; the board never selects or scrolls by itself.
TEST_F(Board, CopiesWhatTheUserSelectsOrEverythingAndNeverSelectsOrScrollsByItself) {
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

  Press(board, Qt::Key_A, Qt::ControlModifier);
  Press(board, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(clipboard->text(), all.join('\n'));

  board->clearSelection();
  board->item(2)->setSelected(true);
  board->item(0)->setSelected(true);
  Press(board, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(clipboard->text(), "Connecting...\nDone");

  // The context menu: Copy, Copy All, Save Report As...
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

TEST_F(Board, SaveReportAsWritesTheFactsAndEveryLine) {
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
  // A report that cannot be written is an error and makes nothing; one over
  // a file that was there replaces it.
  TempFolder folder;
  QString error;
  EXPECT_FALSE(window.SaveReport(QString::fromStdString(folder.path + "/missing/report.txt"), error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_FALSE(std::filesystem::exists(folder.path + "/missing"));
  const std::string kept = folder.path + "/kept.txt";
  std::ofstream(kept) << "kept\n";
  ASSERT_TRUE(window.SaveReport(QString::fromStdString(kept), error)) << error.toStdString();

  // Save Report As, from the board's menu.
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

  const QString report = QString::fromStdString(ReadFile(path));
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
  EXPECT_TRUE(expected.match(report).hasMatch()) << '"' << report.toStdString() << '"';
  EXPECT_TRUE(expected.match(QString::fromStdString(ReadFile(kept))).hasMatch()) << ReadFile(kept);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path), {}), 2);  // no temporary left
}

TEST_F(Board, ShowsWhereTheFocusIs) {
  window.activateWindow();
  QApplication::setActiveWindow(&window);
  StatusBoard* board = List();
  Button("cmdPortSettings")->setFocus();
  const QImage unfocused = board->grab().toImage();
  board->setFocus();
  ASSERT_TRUE(board->hasFocus());
  const QImage focused = board->grab().toImage();
  EXPECT_NE(focused.pixelColor(0, board->height() / 2), unfocused.pixelColor(0, board->height() / 2));
}

// --- the KBX dialog beside the board -------------------------------------------------

TEST_F(KbxDialog, OpensBesideTheMainWindowAndShowsTheOutcome) {
  Connect(280);
  window.move(window.screen()->availableGeometry().topLeft());
  const QRect screen = window.screen()->availableGeometry();
  InDialog("cmdBattComm", [&](QWidget* dialog) {
    EXPECT_FALSE(dialog->frameGeometry().intersects(window.frameGeometry()));
    EXPECT_TRUE(screen.contains(dialog->frameGeometry()));
    auto* outcome = Child<QLabel>(dialog, "lblOutcome");
    // Before the first update: what the strip is for, and no black bar.
    EXPECT_EQ(outcome->text(), "The outcome of Apply shows here");
    const QImage before = outcome->grab().toImage();
    EXPECT_NE(before.pixelColor(1, 1), QColor(Qt::black));

    auto apply = [&](int count, const char* status) {
      ups.answers[0x95] = {test::Ack(static_cast<std::uint8_t>(status[0]))};
      Child<QComboBox>(dialog, "cmbKBX")->setCurrentIndex(count);
      WhenUp([](QWidget* box) { qobject_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click(); });
      Child<QPushButton>(dialog, "cmdApply")->click();
    };
    auto* detail = Child<QLabel>(dialog, "lblOutcomeDetail");
    apply(1, "\x35");
    EXPECT_EQ(outcome->text(), "Error Setting KBXs");
    EXPECT_TRUE(ShowsAmber(outcome->grab().toImage(), outcome->rect()));
    // How far it got, and what to do: from the update's outcome, not the board.
    EXPECT_EQ(detail->text(),
              "The update stopped at step 1 of 1 (the module count): the UPS did not acknowledge it; the UPS "
              "confirmed no value; run the update again.");
    EXPECT_TRUE(detail->isVisible());
    apply(2, "\x31");
    EXPECT_EQ(outcome->text(), "Done");
    EXPECT_FALSE(detail->isVisible());
    EXPECT_FALSE(ShowsAmber(outcome->grab().toImage(), outcome->rect()));
    EXPECT_EQ(AccessibleText(outcome, QAccessible::Name), "Outcome: Done");
  });
}

// --- screen readers ------------------------------------------------------------------

TEST_F(ScreenReader, TheLampSaysWhetherTheLinkIsUp) {
  auto lamp = [&] {
    QLabel* front = Child<QLabel>(&window, window.LampShowsConnected() ? "imgConnected" : "imgNotConnected");
    EXPECT_EQ(front->toolTip(), AccessibleText(front, QAccessible::Name));
    return AccessibleText(front, QAccessible::Name).toStdString();
  };
  EXPECT_EQ(lamp(), "Not connected");
  Connect(290);
  EXPECT_EQ(lamp(), "Connected");
  // A link that was up, then a device that will not open again.
  port.openError = 8002;
  xcp.OpenPort();
  EXPECT_EQ(lamp(), "Not connected");
  EXPECT_EQ(AccessibleText(Child<QLabel>(&window, "lblSettings"), QAccessible::Name).toStdString(),
            "COM1,19200,N,8,1 (port not open)");
}

// Every control a screen reader meets has a name, and a description where
// its tooltip says more.
void ExpectEveryControlNamed(QWidget* window) {
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    const bool control = qobject_cast<QAbstractButton*>(widget) || qobject_cast<QLineEdit*>(widget) ||
                         qobject_cast<QComboBox*>(widget) || qobject_cast<QListWidget*>(widget) ||
                         qobject_cast<QLabel*>(widget) || qobject_cast<QGroupBox*>(widget);
    if (!control || !widget->isVisibleTo(window)) continue;
    const std::string name = widget->objectName().toStdString();
    EXPECT_FALSE(AccessibleText(widget, QAccessible::Name).isEmpty()) << name;
    if (!widget->toolTip().isEmpty()) {
      EXPECT_FALSE(AccessibleText(widget, QAccessible::Description).isEmpty()) << name;
    }
  }
}

// --- any font size -------------------------------------------------------------------

// No button's or label's text is wider (or taller) than the widget that shows it.
void ExpectNothingClipped(QWidget* window) {
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    if (!widget->isVisibleTo(window)) continue;
    const std::string name = widget->objectName().toStdString();
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

// What every window of the program shows under the application font at
// `scale`: its size by name, the rows of the board, and whether the KBX
// dialog found no room beside the main window.
struct Windows {
  std::map<QString, QSize> sizes;
  int boardRows = 0;
  bool kbxOverMain = false;
};

// Opens every window, the main window in the middle of the screen, connected
// and with a long line on the board. Each is of a fixed size, clips nothing
// and names its controls; a dialog opens on the screen and never over the
// main window's top strip (menus, lamp, settings label).
Windows EveryWindowAt(double scale) {
  const QFont normal = QApplication::font();
  QFont font = normal;
  font.setPointSizeF(normal.pointSizeF() * scale);
  QApplication::setFont(font);
  Windows seen;
  {
    test::DesktopRig rig;
    rig.Connect(290);  // "Disconnect" on the button
    rig.window.AddToBoard("Command Accepted with parameter adjusted (37)");
    const QRect screen = rig.window.screen()->availableGeometry();
    rig.window.move(screen.center() - rig.window.rect().center());
    const auto check = [&](QWidget* window) {
      const std::string name = window->objectName().toStdString();
      ExpectNothingClipped(window);
      ExpectEveryControlNamed(window);
      EXPECT_EQ(window->minimumSize(), window->maximumSize()) << name;
      seen.sizes[window->objectName()] = window->size();
      if (auto* board = window->findChild<StatusBoard*>("List1")) {
        seen.boardRows = board->viewport()->height() / board->fontMetrics().lineSpacing();
      }
      if (window == &rig.window) return;
      const QRect frame = window->frameGeometry();
      EXPECT_TRUE(screen.contains(frame)) << name;
      EXPECT_FALSE(frame.intersects(rig.window.TopStrip())) << name;
      if (name == "frmKBXConfig") seen.kbxOverMain = frame.intersects(rig.window.frameGeometry());
    };
    check(&rig.window);
    for (const char* opener : {"cmdPortSettings", "cmdBattComm", "AboutOption"}) rig.InDialog(opener, check);
  }
  QApplication::setFont(normal);
  EXPECT_EQ(seen.sizes.size(), 4u);
  EXPECT_LE(seen.sizes["frmAbout"].width(), seen.sizes["frmMain"].width());
  return seen;
}

TEST(EveryWindow, TakesItsSizeFromItsFontsClipsNothingAndNamesItsControls) {
  Windows normal = EveryWindowAt(1.0);
  EXPECT_FALSE(normal.kbxOverMain);
  for (double scale : {1.5, 2.0}) {
    SCOPED_TRACE(scale);
    Windows large = EveryWindowAt(scale);
    EXPECT_GT(large.sizes["frmMain"].width(), normal.sizes["frmMain"].width());
    EXPECT_GT(large.sizes["frmMain"].height(), normal.sizes["frmMain"].height());
    EXPECT_GE(large.boardRows, normal.boardRows);
    EXPECT_GT(large.sizes["frmSettings"].width(), normal.sizes["frmSettings"].width());
    EXPECT_GT(large.sizes["frmKBXConfig"].width(), normal.sizes["frmKBXConfig"].width());
    EXPECT_GT(large.sizes["frmAbout"].height(), normal.sizes["frmAbout"].height());
    EXPECT_TRUE(large.kbxOverMain);  // no room beside the window: the strip is spared
  }
}

// --- help ------------------------------------------------------------------------------

// Whether the program writes this line as reporting a failure: one of its
// fixed failure lines, a refusal of the UPS, or an error line ("8002 Invalid
// port number 8": a number, a blank and a description).
bool WrittenAsFailure(const QString& line) {
  static const QSet<QString> lines = [] {
    QSet<QString> set;
    for (const FailureText fixed :
         {kUnableToOpenPort, kPortAlreadyOpen, kInvalidPortNumber, kInvalidCommParameters, kInvalidBaudRate,
          kNoAck, kNoUpsFound, kInvalidUpsType, kProgramNeedsUpgrade, kUpsCodeNeedsUpgrade,
          kInvalidMachineType, kUnknownUpsType, kLinkDown, kErrorGettingRuntime, kErrorSettingKbxs,
          kErrorSettingBaseTime, kErrorUpdatingBaseTimeRam, kErrorResettingChecksum, kErrorSettingRamValue}) {
      set.insert(fixed.text);
    }
    for (int status = 0; status <= 0xFF; ++status) {
      set.insert(QString::fromStdString(AckBoardLine(static_cast<std::uint8_t>(status))));
    }
    set.remove("");
    return set;
  }();
  static const QRegularExpression errorLine(R"(^-?\d+ \S.*$)");
  return lines.contains(line) || errorLine.match(line).hasMatch();
}

// The help draws its sample board lines as the board does: a line that
// reports a failure in the warning colour (class "f"), every other one green ("b").
TEST(Help, SampleLinesInTheBoardsColours) {
  const QString html = QString::fromStdString(ReadFile(KBX_HELP_FILE));  // as built, beside the program
  const QRegularExpression sample(R"re(<span class="([bf])">(.*?)</span>)re");
  int samples = 0;
  for (const QRegularExpressionMatch& match : sample.globalMatch(html)) {
    const QString line =
        QTextDocumentFragment::fromHtml(match.captured(2)).toPlainText().replace(QChar(0xA0), ' ');
    // "Done" is shown both ways: it closes failed commands too.
    if (line != "Done") {
      EXPECT_EQ(match.captured(1) == "f", WrittenAsFailure(line)) << line.toStdString();
    }
    ++samples;
  }
  EXPECT_GT(samples, 50);
  EXPECT_TRUE(html.contains(QRegularExpression(R"(\.f \{[^}]*color: #ffb000[^}]*font-weight: bold)")));
}

// The help window: beside its owner, with its icon, wide enough for its
// text; Back, Forward and Home; Forward returns to the section and scroll
// position Back left; Escape or Ctrl+W close it.
TEST(Help, BackForwardHomeAndClosedByEscapeOrCtrlW) {
  TempFolder folder;
  const std::string home = folder.path + "/KBX.html";
  std::ofstream page(home);
  page << "<html><head><title>KBX Help</title></head><body><pre>" << std::string(90, 'x') << "</pre>"
       << "<a href=\"#far\">far</a>";
  for (int i = 0; i < 200; ++i) page << "<p>line " << i << "</p>";
  page << "<h3><a name=\"far\"></a>Far</h3>";
  for (int i = 0; i < 200; ++i) page << "<p>more " << i << "</p>";
  page << "</body></html>";
  page.close();
  QWidget owner;
  owner.setWindowIcon(ProgramIcon());
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
  EXPECT_EQ(window->windowIcon().cacheKey(), owner.windowIcon().cacheKey());
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

  for (QKeySequence key : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
    help.ShowContents(home, &owner);
    ASSERT_TRUE(window->isVisible());
    QApplication::setActiveWindow(window);
    browser->setFocus();
    Press(browser, key[0].key(), key[0].keyboardModifiers());
    EXPECT_FALSE(window->isVisible()) << key.toString().toStdString();
  }
}

}  // namespace
}  // namespace kbx
