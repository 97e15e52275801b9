// Right after something went wrong: versions with letters, a 281 that does
// not switch over, a line that never falls quiet, and input that queued up
// while a command ran. Protocol cases on the fake port and the virtual clock,
// window cases offscreen, and one session through a pseudo-terminal.
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <chrono>
#include <memory>
#include <set>
#include <sstream>

#include "app/desktop.h"
#include "cli/cli_options.h"
#include "cli/kbx_cli.h"
#include "sim/pty_simulator.h"
#include "support/desktop_rig.h"
#include "support/xcp_fixture.h"
#include "ui/main_window.h"

namespace kbx {
namespace {

using ::testing::ElementsAre;
using Versions = std::vector<std::pair<std::uint8_t, std::uint8_t>>;

// --- a unit to connect to -----------------------------------------------------

class Recovery : public test::XcpTest {
 protected:
  // A unit with the given processor versions whose type block reports the
  // given codes, one per identification (the last one repeats).
  void UnitWith(const Versions& versions, std::vector<std::uint16_t> types) {
    if (xcp.LinkUp()) xcp.DisconnectUps();
    ups = test::ScriptedUps{};
    ups.answers[0xA0] = {test::Block(1, test::IdBlock(versions, 0x05, test::MeterMap36(0xF0), 1, 16))};
    for (std::uint16_t type : types) {
      Bytes typeBlock(16, 0);
      typeBlock[0] = static_cast<std::uint8_t>(type & 0xFF);
      typeBlock[1] = static_cast<std::uint8_t>(type >> 8);
      ups.answers[0x36].push_back(test::Block(6, typeBlock));
    }
    ups.Attach(port);
    host.ClearBoard();
  }
};

// --- versions with hex letters -----------------------------------------------

// The switch request of a 281 takes its long form when the unit has a fourth
// processor, whatever digits its version has.
TEST_F(Recovery, AFourthProcessorWithLettersInItsVersionGetsTheLongSwitchRequest) {
  struct Case {
    const char* what;
    Versions versions;
    Bytes request;
  };
  const Bytes longForm{0xCE, 0x01, 0x00, 0x00};
  const Bytes shortForm{0xCE, 0x00, 0x00};
  const Case cases[] = {
      {"fourth at 1.0A", {{1, 3}, {1, 3}, {1, 3}, {0x01, 0x0A}}, longForm},
      {"fourth at 1.E5", {{1, 3}, {1, 3}, {1, 3}, {0x01, 0xE5}}, longForm},
      {"fourth at 1A.0B", {{1, 3}, {1, 3}, {1, 3}, {0x1A, 0x0B}}, longForm},
      {"fourth at 1.03", {{1, 3}, {1, 3}, {1, 3}, {0x01, 0x03}}, longForm},
      {"fourth at 0.00", {{1, 3}, {1, 3}, {1, 3}, {0x00, 0x00}}, shortForm},
      {"no fourth processor", {{1, 3}, {1, 3}, {1, 3}}, shortForm},
  };
  for (const Case& c : cases) {
    UnitWith(c.versions, {281, 280});
    xcp.ConnectUps();
    EXPECT_THAT(ups.RequestsStartingWith(0xCE), ElementsAre(c.request)) << c.what;
    EXPECT_TRUE(xcp.LinkUp()) << c.what;
    EXPECT_THAT(host.board, ElementsAre("Connecting...", "Done")) << c.what;
  }
}

// `info` shows each version as the unit reported it (here a 290 refused for
// its second processor's version, so that no disconnect clears the board).
TEST_F(Recovery, InfoShowsVersionsAsRead) {
  UnitWith({{0x01, 0x03}, {0x01, 0x0A}, {0x00, 0x00}, {0x1A, 0x0B}, {0x01, 0xE5}}, {290});
  CliOptions options;
  std::string error;
  ASSERT_TRUE(ParseCliOptions({"info"}, options, error)) << error;
  EXPECT_EQ(RunSession(xcp, options, Confirm{}), 1);
  std::vector<std::string> versions;
  for (const std::string& line : host.board)
    if (line.rfind("Processor ", 0) == 0) versions.push_back(line);
  EXPECT_THAT(versions, ElementsAre("Processor 1 version: 1.03", "Processor 2 version: 1.0A",
                                    "Processor 4 version: 1A.0B", "Processor 5 version: 1.E5"));
}

// --- a 281 that does not switch over -----------------------------------------

TEST_F(Recovery, A281ThatDoesNotReport280AfterTheSwitchIsNoUps) {
  struct Case {
    const char* what;
    std::uint16_t after;
    std::vector<std::string> board;
    bool linkUp;
  };
  const Case cases[] = {
      {"still 281", 281, {"Connecting...", "NO UPS Found", "Done"}, false},
      {"now 290", 290, {"Connecting...", "NO UPS Found", "Done"}, false},
      {"silent", 0, {"Connecting...", "NO UPS Found", "Done"}, false},
      {"now 280", 280, {"Connecting...", "Done"}, true},
  };
  for (const Case& c : cases) {
    UnitWith({{1, 3}, {1, 3}}, {281, c.after});
    xcp.ConnectUps();
    EXPECT_EQ(host.board, c.board) << c.what;
    EXPECT_EQ(xcp.LinkUp(), c.linkUp) << c.what;
    EXPECT_EQ(xcp.UpsType(), c.after) << c.what;
  }
}

// --- a line that never falls quiet -------------------------------------------

// After its answer to the identification request the line brings a byte
// every 0.55 s for ten minutes: every 600 ms window sees a byte.
class Babble : public Recovery {
 protected:
  void BabbleAfter(std::uint8_t command) {
    auto attached = port.onWrite;
    port.onWrite = [this, attached, command](const Bytes& frame) {
      attached(frame);
      if (babbling_ || frame.size() < 3 || frame[2] != command) return;
      babbling_ = true;
      for (int k = 1; k <= 1100; ++k) port.Deliver({0x55}, 20 + 550 * k);
    };
  }
  bool babbling_ = false;
};

TEST_F(Babble, AReadEndsWhenTheExchangeBudgetIsSpent) {
  UnitWith({{1, 3}, {1, 3}}, {290});
  BabbleAfter(0xA0);
  const double start = clock.Now();
  xcp.ConnectUps();
  const double took = clock.Now() - start;
  RecordProperty("seconds", std::to_string(took));
  EXPECT_THAT(host.board, ElementsAre("Connecting...", "NO UPS Found", "Done"));
  EXPECT_FALSE(xcp.LinkUp());
  // Each of the two requests: its 15 s budget, then written once more as for
  // no answer; with the authorization and the fixed waits about 33 s.
  EXPECT_GT(took, 30.0);
  EXPECT_LT(took, 35.0);
  EXPECT_EQ(ups.RequestsStartingWith(0xA0).size(), 2u);
  EXPECT_EQ(ups.RequestsStartingWith(0x36).size(), 2u);
}

// The answer at the front of a read that the budget ended is not taken.
TEST_F(Babble, TheExchangeFailsAsForNoAnswer) {
  UnitWith({{1, 3}, {1, 3}}, {290});
  BabbleAfter(0xA0);
  xcp.OpenPort();
  const double start = clock.Now();
  EXPECT_FALSE(link.XcpTransact({0xA0}, 1));
  const double took = clock.Now() - start;
  RecordProperty("seconds", std::to_string(took));
  // 0.5 s after the write, 600 ms windows up to the budget of the write's
  // whole second plus 15 s, then the repeated write and its pause.
  EXPECT_GT(took, 15.0);
  EXPECT_LT(took, 16.7);
  EXPECT_EQ(port.writes.size(), 2u);
  EXPECT_TRUE(host.board.empty());
}

// Across midnight the time of day starts again from 0: the read still ends
// with the budget, and the five attempts end the exchange.
TEST(BabbleAcrossMidnight, TheReadStillEndsWithTheBudget) {
  test::VirtualClock clock(86400.0 - 5);
  test::FakePort port(clock);
  test::RecordingHost host;
  Xcp xcp(port, clock, host);
  ASSERT_FALSE(StartUp(xcp).portFailure);
  port.onWrite = [&](const Bytes&) {
    for (int k = 0; k <= 1100; ++k) port.Deliver({0x55}, 20 + 550 * k);
  };
  const double start = clock.Now();
  EXPECT_FALSE(test::XcpProbe::Link(xcp).XcpTransact({0xA0}, 1));
  // The first read to the budget, four more of one busy window each.
  EXPECT_LT(clock.Now() - start, 22.0);
  EXPECT_EQ(port.writes.size(), 6u);
}

// An acknowledgement read after a write that waited for none ends within the
// write's budget too.
TEST_F(Babble, AnAcknowledgementReadEndsWithinTheBudget) {
  xcp.OpenPort();
  port.onWrite = [this](const Bytes&) {
    port.Deliver(test::Ack(0x31));
    for (int k = 1; k <= 1100; ++k) port.Deliver({0x55}, 20 + 550 * k);
  };
  const double start = clock.Now();
  ASSERT_TRUE(link.XcpTransact({0x78, 0x00}, 0));
  EXPECT_FALSE(xcp.CheckAck(9));
  EXPECT_LT(clock.Now() - start, 16.7);
  EXPECT_TRUE(host.board.empty());
}

// --- input that queued up while a command ran --------------------------------

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

using test::Child;

class QueuedInput : public ::testing::Test, protected test::DesktopRig {
 protected:
  void SetUp() override { Unit(290); }
};

// A click and a key on Connect while the connect runs are dropped: the
// window does not disconnect right after it connected.
TEST_F(QueuedInput, TheMainWindowDropsInputMadeDuringACommand) {
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
TEST_F(QueuedInput, TheKbxDialogDropsInputMadeDuringTheUpdate) {
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

// --- end to end --------------------------------------------------------------

// The simulated unit answers the identification request, then its line
// brings a byte every 0.55 s for three minutes, which holds back every later
// answer. Each of the two requests of the connect ends with its budget.
TEST(RecoveryEndToEnd, ABabblingLineEndsTheConnectWithinItsBudgets) {
  SimOptions options;
  LineFaults faults;
  faults.noise = {0xA0, 1};
  faults.noiseMs = 180000;
  faults.noiseGapMs = 550;
  PtySimulator sim(options, std::string(), 5, faults);
  sim.Start();
  std::ostringstream out, err;
  const auto start = std::chrono::steady_clock::now();
  const int status = RunKbx({"--com", "1=" + sim.SlavePath(), "connect"}, out, err, Confirm{});
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  RecordProperty("seconds", std::to_string(took));
  std::vector<std::string> lines;
  std::istringstream in(out.str());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(status, 1) << err.str();
  EXPECT_THAT(lines, ElementsAre("Connecting...", "NO UPS Found", "Done"));
  EXPECT_GT(took, 30.0);
  EXPECT_LT(took, 36.0);
  EXPECT_EQ(sim.RequestCount(0x36), 2);
  EXPECT_EQ(sim.Error(), "");
}

}  // namespace
}  // namespace kbx
