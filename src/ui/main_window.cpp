#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QRadialGradient>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

#include "link/command_guard.h"
#include "platform/help_viewer.h"
#include "ui/about_box.h"
#include "ui/kbx_dialog.h"
#include "ui/queued_input.h"
#include "ui/screen_pointer.h"
#include "ui/settings_dialog.h"
#include "ups/runtime.h"
#include "ups/startup.h"
#include "ups/xcp.h"

namespace kbx {

namespace {

QPixmap Lamp(const QColor& color) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QRadialGradient glow(QPointF(6, 6), 9);
  glow.setColorAt(0, color.lighter(170));
  glow.setColorAt(1, color.darker(130));
  painter.setBrush(glow);
  painter.setPen(QPen(color.darker(200), 1));
  painter.drawEllipse(QRectF(1.5, 1.5, 13, 13));
  return pixmap;
}

QFrame* Line(QWidget* parent, const char* name) {
  auto* line = new QFrame(parent);
  line->setObjectName(name);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setObjectName("frmMain");
  auto* central = new QWidget(this);
  central->setObjectName("central");
  setCentralWidget(central);

  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(8, 0, 8, 8);
  layout->setSpacing(6);
  layout->addWidget(Line(central, "Line1"));
  layout->addWidget(Line(central, "Line2"));

  auto* status = new QHBoxLayout;
  auto* lamp = new QWidget(central);
  lamp->setFixedSize(16, 16);
  redLamp_ = new QLabel(lamp);
  redLamp_->setObjectName("imgNotConnected");
  redLamp_->setPixmap(Lamp(QColor(200, 20, 20)));
  redLamp_->setGeometry(0, 0, 16, 16);
  greenLamp_ = new QLabel(lamp);
  greenLamp_->setObjectName("imgConnected");
  greenLamp_->setPixmap(Lamp(QColor(20, 190, 40)));
  greenLamp_->setGeometry(0, 0, 16, 16);
  redLamp_->raise();
  settingsLabel_ = new QLabel(central);
  settingsLabel_->setObjectName("lblSettings");
  settingsLabel_->setToolTip("Shows Comport, Baud Rate, Parity, Data bits, Stop Bit");
  status->addWidget(lamp);
  status->addWidget(settingsLabel_, 1);
  layout->addLayout(status);

  auto* buttons = new QHBoxLayout;
  auto button = [&](const char* name, const char* text, const char* tip, void (MainWindow::*slot)()) {
    auto* b = new QPushButton(text, central);
    b->setObjectName(name);
    b->setToolTip(tip);
    b->setFixedWidth(84);
    connect(b, &QPushButton::clicked, this, slot);
    buttons->addWidget(b);
    return b;
  };
  portButton_ = button("cmdPortSettings", "Port", "Change Baud Rate or COM port", &MainWindow::PortClicked);
  connectButton_ =
      button("cmdConnect", "Connect", "Establish Communication with UPS", &MainWindow::ConnectClicked);
  runtimeButton_ =
      button("Command1", "Runtime", "Get current KBX information from UPS", &MainWindow::RuntimeClicked);
  kbxButton_ = button("cmdBattComm", "KBX", "Add KBXs", &MainWindow::KbxClicked);
  buttons->addStretch();
  layout->addLayout(buttons);

  // The board: green on black, newest last, never selected, sorted, cut or
  // scrolled by the program.
  board_ = new QListWidget(central);
  board_->setObjectName("List1");
  board_->setSelectionMode(QAbstractItemView::NoSelection);
  board_->setSortingEnabled(false);
  board_->setWordWrap(false);
  board_->setTextElideMode(Qt::ElideNone);
  board_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  board_->setAutoScroll(false);
  board_->setFocusPolicy(Qt::StrongFocus);
  board_->setStyleSheet("QListWidget { background: black; color: #00ff00; }");
  QFont mono = board_->font();
  mono.setFamily("Monospace");
  mono.setStyleHint(QFont::TypeWriter);
  board_->setFont(mono);
  layout->addWidget(board_, 1);

  setTabOrder(portButton_, connectButton_);
  setTabOrder(connectButton_, runtimeButton_);
  setTabOrder(runtimeButton_, kbxButton_);
  setTabOrder(kbxButton_, board_);

  QMenu* fileMenu = menuBar()->addMenu("&File");
  fileMenu->setObjectName("FileMenu");
  fileMenu->addAction("&Properties", this, &MainWindow::PropertiesChosen)->setObjectName("mnuSettings");
  fileMenu->addSeparator();
  fileMenu->addAction("E&xit", this, &MainWindow::ExitChosen)->setObjectName("mnuExitOption");
  QMenu* upsMenu = menuBar()->addMenu("&UPS");
  upsMenu->setObjectName("mnuUPS");
  upsMenu->addAction("&Connect", this, &MainWindow::ConnectChosen)->setObjectName("mnuConnect");
  upsMenu->addAction("&Disconect", this, &MainWindow::DisconnectChosen)->setObjectName("mnuDisconnect");
  upsMenu->addAction("&Update KBX", this, &MainWindow::UpdateKbxChosen)->setObjectName("mnuUpdateKBX");
  upsMenu->addAction("&Battery Time Remain", this, &MainWindow::BatteryTimeChosen)
      ->setObjectName("mnuReadBatteryStatus");
  QMenu* helpMenu = menuBar()->addMenu("&Help");
  helpMenu->setObjectName("HelpMenu");
  helpMenu->addAction("&Help Topics", this, &MainWindow::HelpTopicsChosen)->setObjectName("HelpTopics");
  helpMenu->addSeparator();
  helpMenu->addAction("&About KBX Configuration Utility", this, &MainWindow::AboutChosen)
      ->setObjectName("AboutOption");

  // Load: the title, and the help file beside the program.
  setWindowTitle(kProgramTitle);
  // An installed program finds it in its data folder instead.
  const QString folder = QCoreApplication::applicationDirPath();
  QString help = folder + "/KBX.html";
  if (!QFileInfo::exists(help) && QFileInfo::exists(folder + "/../share/kbx-configurator/KBX.html")) {
    help = QFileInfo(folder + "/../share/kbx-configurator/KBX.html").canonicalFilePath();
  }
  helpFile_ = help.toStdString();

  setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
  setFixedSize(430, 320);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

MainWindow::~MainWindow() = default;

// --- status board and indicators ---------------------------------------------

void MainWindow::AddToBoard(const std::string& message) {
  board_->addItem(QString::fromStdString(message));
}

void MainWindow::BoardClear() {
  board_->clear();
  Repaint();
}

void MainWindow::Repaint() {
  repaint();
}

void MainWindow::UpdateStatus(int) {}

void MainWindow::PortStateChanged(const PortState& state) {
  portState_ = state;
  settingsLabel_->setText(QString::fromStdString(state.settingsLabel));
  QFont font = settingsLabel_->font();
  font.setStrikeOut(!state.open);
  settingsLabel_->setFont(font);
  (state.linkUp ? greenLamp_ : redLamp_)->raise();
  connectButton_->setText(state.linkUp ? "Disconnect" : "Connect");
}

bool MainWindow::SettingsStrikethru() const {
  return settingsLabel_->font().strikeOut();
}

bool MainWindow::LampShowsConnected() const {
  const QObjectList& stack = greenLamp_->parent()->children();
  return stack.indexOf(greenLamp_) > stack.indexOf(redLamp_);
}

// --- busy frame ---------------------------------------------------------------

bool MainWindow::TakesInput() const {
  return menuBar()->isEnabled();
}

void MainWindow::SetInputEnabled(bool enabled) {
  // Only what takes input: the lamp and the settings label stay as they are,
  // so that a locked window still shows the link's state plainly.
  const std::initializer_list<QWidget*> controls{portButton_, connectButton_, runtimeButton_,
                                                 kbxButton_,  board_,         menuBar()};
  for (QWidget* control : controls) control->setEnabled(enabled);
}

void MainWindow::LockForm() {
  // Disabling takes the focus away; the keyboard user gets it back afterwards.
  focusBeforeLock_ = focusWidget();
  SetInputEnabled(false);
}

void MainWindow::UnlockForm() {
  DropQueuedInput();
  SetInputEnabled(true);
  if (focusBeforeLock_) focusBeforeLock_->setFocus();
  focusBeforeLock_ = nullptr;
}

void MainWindow::Guarded(const std::function<void()>& body) {
  RunGuarded(*this, [&] {
    body();
    return true;
  });
}

void MainWindow::BusyFrame(const std::function<void()>& body) {
  SetScreenPointer(Pointer::kHourglass);
  LockForm();
  busy_ = true;
  Guarded(body);
  busy_ = false;
  UnlockForm();
  SetScreenPointer(Pointer::kDefault);
  if (closePending_) {
    closePending_ = false;
    close();
  }
}

// --- commands -------------------------------------------------------------------

void MainWindow::ConnectClicked() {
  BusyFrame([this] {
    if (!portState_.open) return;
    if (xcp_->LinkUp()) {
      xcp_->DisconnectUps();
    } else {
      xcp_->ConnectUps();
    }
  });
}

void MainWindow::ConnectChosen() {
  if (!TakesInput()) return;
  BusyFrame([this] { xcp_->ConnectUps(); });
}

void MainWindow::DisconnectChosen() {
  if (!TakesInput()) return;
  BusyFrame([this] {
    if (xcp_->LinkUp()) xcp_->DisconnectUps();
  });
}

void MainWindow::KbxClicked() {
  BusyFrame([this] {
    BoardClear();
    if (!xcp_->LinkUp()) {
      AddToBoard("Link Down");
      return;
    }
    KbxDialog dialog(*xcp_, this);
    dialog.exec();
  });
}

void MainWindow::RuntimeClicked() {
  BusyFrame([this] { RuntimeCommand(*xcp_); });
}

void MainWindow::PortClicked() {
  SettingsDialog dialog(*xcp_, this);
  settingsDialog_ = &dialog;
  Guarded([&] { dialog.exec(); });
  settingsDialog_ = nullptr;
}

void MainWindow::PropertiesChosen() {
  if (TakesInput()) PortClicked();
}

void MainWindow::UpdateKbxChosen() {
  if (TakesInput()) KbxClicked();
}

void MainWindow::BatteryTimeChosen() {
  if (TakesInput()) RuntimeClicked();
}

void MainWindow::ExitChosen() {
  close();
}

void MainWindow::HelpTopicsChosen() {
  if (helpViewer_) helpViewer_->ShowContents(helpFile_);
}

void MainWindow::AboutChosen() {
  AboutBox about(this);
  about.exec();
}

// --- unload ---------------------------------------------------------------------

void MainWindow::closeEvent(QCloseEvent* event) {
  if (busy_) {
    // Held until the command has ended; then the window closes.
    closePending_ = true;
    event->ignore();
    return;
  }
  Unload();
  event->accept();
}

void MainWindow::Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  if (xcp_) xcp_->ClosePort();
  if (helpViewer_) helpViewer_->Quit();
  if (settingsDialog_) settingsDialog_->close();
  QCoreApplication::quit();
}

}  // namespace kbx
