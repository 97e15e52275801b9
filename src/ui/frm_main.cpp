#include "ui/frm_main.h"

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
#include "ui/frm_about.h"
#include "ui/frm_kbx_config.h"
#include "ui/frm_settings.h"
#include "ui/screen_pointer.h"
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

FrmMain::FrmMain(QWidget* parent) : QMainWindow(parent) {
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
  imgNotConnected_ = new QLabel(lamp);
  imgNotConnected_->setObjectName("imgNotConnected");
  imgNotConnected_->setPixmap(Lamp(QColor(200, 20, 20)));
  imgNotConnected_->setGeometry(0, 0, 16, 16);
  imgConnected_ = new QLabel(lamp);
  imgConnected_->setObjectName("imgConnected");
  imgConnected_->setPixmap(Lamp(QColor(20, 190, 40)));
  imgConnected_->setGeometry(0, 0, 16, 16);
  imgNotConnected_->raise();
  lblSettings_ = new QLabel(central);
  lblSettings_->setObjectName("lblSettings");
  lblSettings_->setToolTip("Shows Comport, Baud Rate, Parity, Data bits, Stop Bit");
  status->addWidget(lamp);
  status->addWidget(lblSettings_, 1);
  layout->addLayout(status);

  auto* buttons = new QHBoxLayout;
  auto button = [&](const char* name, const char* text, const char* tip, void (FrmMain::*slot)()) {
    auto* b = new QPushButton(text, central);
    b->setObjectName(name);
    b->setToolTip(tip);
    b->setFixedWidth(84);
    connect(b, &QPushButton::clicked, this, slot);
    buttons->addWidget(b);
    return b;
  };
  cmdPortSettings_ =
      button("cmdPortSettings", "Port", "Change Baud Rate or COM port", &FrmMain::cmdPortSettings_Click);
  cmdConnect_ =
      button("cmdConnect", "Connect", "Establish Communication with UPS", &FrmMain::cmdConnect_Click);
  command1_ = button("Command1", "Runtime", "Get current KBX information from UPS", &FrmMain::Command1_Click);
  cmdBattComm_ = button("cmdBattComm", "KBX", "Add KBXs", &FrmMain::cmdBattComm_Click);
  buttons->addStretch();
  layout->addLayout(buttons);

  // The board: green on black, newest last, never selected, sorted, cut or
  // scrolled by the program.
  list1_ = new QListWidget(central);
  list1_->setObjectName("List1");
  list1_->setSelectionMode(QAbstractItemView::NoSelection);
  list1_->setSortingEnabled(false);
  list1_->setWordWrap(false);
  list1_->setTextElideMode(Qt::ElideNone);
  list1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  list1_->setAutoScroll(false);
  list1_->setFocusPolicy(Qt::StrongFocus);
  list1_->setStyleSheet("QListWidget { background: black; color: #00ff00; }");
  QFont mono = list1_->font();
  mono.setFamily("Monospace");
  mono.setStyleHint(QFont::TypeWriter);
  list1_->setFont(mono);
  layout->addWidget(list1_, 1);

  setTabOrder(cmdPortSettings_, cmdConnect_);
  setTabOrder(cmdConnect_, command1_);
  setTabOrder(command1_, cmdBattComm_);
  setTabOrder(cmdBattComm_, list1_);

  QMenu* fileMenu = menuBar()->addMenu("&File");
  fileMenu->setObjectName("FileMenu");
  fileMenu->addAction("&Properties", this, &FrmMain::mnuSettings_Click)->setObjectName("mnuSettings");
  fileMenu->addSeparator();
  fileMenu->addAction("E&xit", this, &FrmMain::mnuExitOption_Click)->setObjectName("mnuExitOption");
  QMenu* upsMenu = menuBar()->addMenu("&UPS");
  upsMenu->setObjectName("mnuUPS");
  upsMenu->addAction("&Connect", this, &FrmMain::mnuConnect_Click)->setObjectName("mnuConnect");
  upsMenu->addAction("&Disconect", this, &FrmMain::mnuDisconnect_Click)->setObjectName("mnuDisconnect");
  upsMenu->addAction("&Update KBX", this, &FrmMain::mnuUpdateKBX_Click)->setObjectName("mnuUpdateKBX");
  upsMenu->addAction("&Battery Time Remain", this, &FrmMain::mnuReadBatteryStatus_Click)
      ->setObjectName("mnuReadBatteryStatus");
  QMenu* helpMenu = menuBar()->addMenu("&Help");
  helpMenu->setObjectName("HelpMenu");
  helpMenu->addAction("&Help Topics", this, &FrmMain::HelpTopics_Click)->setObjectName("HelpTopics");
  helpMenu->addSeparator();
  helpMenu->addAction("&About KBX Configuration Utility", this, &FrmMain::AboutOption_Click)
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

FrmMain::~FrmMain() = default;

// --- status board and indicators ---------------------------------------------

void FrmMain::AddToBoard(const std::string& message) {
  list1_->addItem(QString::fromStdString(message));
}

void FrmMain::BoardClear() {
  list1_->clear();
  Repaint();
}

void FrmMain::Repaint() {
  repaint();
}

void FrmMain::UpdateStatus(int) {}

void FrmMain::PortStateChanged(const PortState& state) {
  portState_ = state;
  lblSettings_->setText(QString::fromStdString(state.settingsLabel));
  QFont font = lblSettings_->font();
  font.setStrikeOut(!state.open);
  lblSettings_->setFont(font);
  (state.linkUp ? imgConnected_ : imgNotConnected_)->raise();
  cmdConnect_->setText(state.linkUp ? "Disconnect" : "Connect");
}

bool FrmMain::SettingsStrikethru() const {
  return lblSettings_->font().strikeOut();
}

bool FrmMain::LampShowsConnected() const {
  const QObjectList& stack = imgConnected_->parent()->children();
  return stack.indexOf(imgConnected_) > stack.indexOf(imgNotConnected_);
}

// --- busy frame ---------------------------------------------------------------

bool FrmMain::TakesInput() const {
  return menuBar()->isEnabled();
}

void FrmMain::SetInputEnabled(bool enabled) {
  // Only what takes input: the lamp and the settings label stay as they are,
  // so that a locked window still shows the link's state plainly.
  const std::initializer_list<QWidget*> controls{cmdPortSettings_, cmdConnect_, command1_,
                                                 cmdBattComm_,     list1_,      menuBar()};
  for (QWidget* control : controls) control->setEnabled(enabled);
}

void FrmMain::LockForm() {
  // Disabling takes the focus away; the keyboard user gets it back afterwards.
  focusBeforeLock_ = focusWidget();
  SetInputEnabled(false);
}

void FrmMain::UnlockForm() {
  // Clicks and keys that queued up while the command ran reach a window that
  // still refuses them, so that none of them fires afterwards.
  QGuiApplication::sync();
  QCoreApplication::processEvents();
  SetInputEnabled(true);
  if (focusBeforeLock_) focusBeforeLock_->setFocus();
  focusBeforeLock_ = nullptr;
}

void FrmMain::Guarded(const std::function<void()>& body) {
  RunGuarded(*this, [&] {
    body();
    return true;
  });
}

void FrmMain::BusyFrame(const std::function<void()>& body) {
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

void FrmMain::cmdConnect_Click() {
  BusyFrame([this] {
    if (!portState_.open) return;
    if (xcp_->LinkUp()) {
      xcp_->DisconnectUps();
    } else {
      xcp_->ConnectUps();
    }
  });
}

void FrmMain::mnuConnect_Click() {
  if (!TakesInput()) return;
  BusyFrame([this] { xcp_->ConnectUps(); });
}

void FrmMain::mnuDisconnect_Click() {
  if (!TakesInput()) return;
  BusyFrame([this] {
    if (xcp_->LinkUp()) xcp_->DisconnectUps();
  });
}

void FrmMain::cmdBattComm_Click() {
  BusyFrame([this] {
    BoardClear();
    if (!xcp_->LinkUp()) {
      AddToBoard("Link Down");
      return;
    }
    FrmKBXConfig dialog(*xcp_, this);
    dialog.exec();
  });
}

void FrmMain::Command1_Click() {
  BusyFrame([this] { RuntimeCommand(*xcp_); });
}

void FrmMain::cmdPortSettings_Click() {
  FrmSettings dialog(*xcp_, this);
  settingsDialog_ = &dialog;
  Guarded([&] { dialog.exec(); });
  settingsDialog_ = nullptr;
}

void FrmMain::mnuSettings_Click() {
  if (TakesInput()) cmdPortSettings_Click();
}

void FrmMain::mnuUpdateKBX_Click() {
  if (TakesInput()) cmdBattComm_Click();
}

void FrmMain::mnuReadBatteryStatus_Click() {
  if (TakesInput()) Command1_Click();
}

void FrmMain::mnuExitOption_Click() {
  close();
}

void FrmMain::HelpTopics_Click() {
  if (help_) help_->ShowContents(helpFile_);
}

void FrmMain::AboutOption_Click() {
  FrmAbout about(this);
  about.exec();
}

// --- unload ---------------------------------------------------------------------

void FrmMain::closeEvent(QCloseEvent* event) {
  if (busy_) {
    // Held until the command has ended; then the window closes.
    closePending_ = true;
    event->ignore();
    return;
  }
  Unload();
  event->accept();
}

void FrmMain::Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  if (xcp_) xcp_->ClosePort();
  if (help_) help_->Quit();
  if (settingsDialog_) settingsDialog_->close();
  QCoreApplication::quit();
}

}  // namespace kbx
