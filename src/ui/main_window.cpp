#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadialGradient>
#include <QSaveFile>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "link/board_lines.h"
#include "link/command_guard.h"
#include "platform/version.h"
#include "ui/about_box.h"
#include "ui/board_report.h"
#include "ui/help_viewer.h"
#include "ui/kbx_dialog.h"
#include "ui/keyboard.h"
#include "ui/program_icon.h"
#include "ui/queued_input.h"
#include "ui/screen_pointer.h"
#include "ui/settings_dialog.h"
#include "ui/status_board.h"
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

const char* const kSettingsTip = "Shows Comport, Baud Rate, Parity, Data bits, Stop Bit";

// The link's state in words, for the lamp's tooltip and for screen readers.
QString LampText(bool connected) {
  return connected ? "Connected" : "Not connected";
}

// The date and time of a report, with its offset from UTC: "2026-12-06 16:40:12 +01:00".
std::string ReportDateTime(const QDateTime& now) {
  const int offset = now.offsetFromUtc() / 60;
  const int minutes = offset < 0 ? -offset : offset;
  return QString("%1 %2%3:%4")
      .arg(now.toString("yyyy-MM-dd HH:mm:ss"), offset < 0 ? "-" : "+")
      .arg(minutes / 60, 2, 10, QChar('0'))
      .arg(minutes % 60, 2, 10, QChar('0'))
      .toStdString();
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
  lamp_ = new QWidget(central);
  lamp_->setObjectName("lamp");
  lamp_->setFixedSize(16, 16);
  redLamp_ = new QLabel(lamp_);
  redLamp_->setObjectName("imgNotConnected");
  redLamp_->setPixmap(Lamp(QColor(200, 20, 20)));
  redLamp_->setGeometry(0, 0, 16, 16);
  greenLamp_ = new QLabel(lamp_);
  greenLamp_->setObjectName("imgConnected");
  greenLamp_->setPixmap(Lamp(QColor(20, 190, 40)));
  greenLamp_->setGeometry(0, 0, 16, 16);
  redLamp_->raise();
  settingsLabel_ = new QLabel(central);
  settingsLabel_->setObjectName("lblSettings");
  settingsLabel_->setToolTip(kSettingsTip);
  status->addWidget(lamp_);
  status->addWidget(settingsLabel_, 1);
  layout->addLayout(status);

  auto* buttons = new QHBoxLayout;
  auto button = [&](const char* name, const char* text, const char* tip, void (MainWindow::*slot)()) {
    auto* b = new QPushButton(text, central);
    b->setObjectName(name);
    b->setToolTip(tip);
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

  board_ = new StatusBoard(central);
  board_->setObjectName("List1");
  connect(board_, &StatusBoard::SaveReportRequested, this, &MainWindow::SaveReportChosen);
  layout->addWidget(board_, 1);
  PressOnEnter({portButton_, connectButton_, runtimeButton_, kbxButton_});

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

  setWindowIcon(ProgramIcon());
  ShowLampState(false);
  menuBar()->setAccessibleName("Menu bar");

  // A fixed size, but the one its fonts need.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  QMainWindow::layout()->setSizeConstraint(QLayout::SetFixedSize);
  FitToFont();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

void MainWindow::FitToFont() {
  const std::initializer_list<QPushButton*> buttons{portButton_, connectButton_, runtimeButton_, kbxButton_};
  for (QPushButton* button : buttons) button->setMinimumWidth(0);
  int width = 0;
  // The Connect button shows "Disconnect" while the link is up.
  const QString caption = connectButton_->text();
  for (const char* text : {"Connect", "Disconnect"}) {
    connectButton_->setText(text);
    width = std::max(width, connectButton_->sizeHint().width());
  }
  connectButton_->setText(caption);
  for (QPushButton* button : buttons) width = std::max(width, button->sizeHint().width());
  for (QPushButton* button : buttons) button->setMinimumWidth(width);
  settingsLabel_->setMinimumWidth(settingsLabel_->fontMetrics().horizontalAdvance(" COM9,99999,N,8,1"));
  QMainWindow::layout()->activate();
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::FontChange) FitToFont();
}

MainWindow::~MainWindow() = default;

// --- status board and indicators ---------------------------------------------

void MainWindow::AddToBoard(const BoardLine& line) {
  if (line.failure) {
    failedSinceCommandBegan_ = true;
    lastFailureLine_ = line.text;
  }
  board_->AddLine(QString::fromStdString(line.text),
                  line.failure || (line.text == "Done" && failedSinceCommandBegan_));
}

void MainWindow::BoardClear() {
  failedSinceCommandBegan_ = false;
  lastFailureLine_.clear();
  board_->clear();
  Repaint();
}

void MainWindow::Repaint() {
  repaint();
}

void MainWindow::UpdateStatus(int) {}

void MainWindow::PortStateChanged(const PortState& state) {
  portState_ = state;
  settingsLabel_->setText(QString::fromStdString(SettingsLabel(state)));
  QFont font = settingsLabel_->font();
  font.setStrikeOut(!state.open);
  settingsLabel_->setFont(font);
  // While the port is not open, the tooltip says why and what to do.
  QString tip = kSettingsTip;
  if (!state.open && !state.whyNotOpen.reason.empty())
    tip += QString::fromStdString("\n" + WhyNotOpenText(state.whyNotOpen));
  settingsLabel_->setToolTip(tip);
  // The strike-through, in words for those who cannot see it.
  settingsLabel_->setAccessibleName(QString::fromStdString(SettingsLabel(state)).trimmed() +
                                    (state.open ? "" : " (port not open)"));
  ShowLampState(state.linkUp);
  connectButton_->setText(state.linkUp ? "Disconnect" : "Connect");
}

void MainWindow::ShowLampState(bool connected) {
  (connected ? greenLamp_ : redLamp_)->raise();
  for (QWidget* lamp : {lamp_, static_cast<QWidget*>(redLamp_), static_cast<QWidget*>(greenLamp_)}) {
    lamp->setToolTip(LampText(connected));
    lamp->setAccessibleName(LampText(connected));
  }
}

bool MainWindow::SettingsStrikethru() const {
  return settingsLabel_->font().strikeOut();
}

bool MainWindow::LampShowsConnected() const {
  const QObjectList& stack = greenLamp_->parent()->children();
  return stack.indexOf(greenLamp_) > stack.indexOf(redLamp_);
}

QRect MainWindow::TopStrip() const {
  const QRect frame = frameGeometry();
  const int bottom = settingsLabel_->mapToGlobal(QPoint(0, settingsLabel_->height())).y();
  return {frame.left(), frame.top(), frame.width(), bottom - frame.top()};
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
  failedSinceCommandBegan_ = false;
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
      AddToBoard(kLinkDown);
      return;
    }
    KbxDialog dialog(*xcp_, this, TopStrip());
    dialog.exec();
  });
}

void MainWindow::RuntimeClicked() {
  BusyFrame([this] { RuntimeCommand(*xcp_); });
}

void MainWindow::PortClicked() {
  SettingsDialog dialog(*xcp_, this);
  dialog.SetPortNames(session_.deviceOf, session_.listPorts ? session_.listPorts() : std::vector<PortInfo>{});
  // For the report: the value, and the line the refusal wrote on the board.
  connect(&dialog, &SettingsDialog::SettingRejected, this, [this](const QString& value) {
    rejectedSettings_.push_back(value.toStdString() + " rejected: " + lastFailureLine_);
  });
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
  if (helpViewer_) helpViewer_->ShowContents(helpFile_, this);
}

void MainWindow::AboutChosen() {
  AboutBox about(this);
  about.exec();
}

// --- the report -------------------------------------------------------------------

void MainWindow::SaveReportChosen() {
  const QDateTime now = QDateTime::currentDateTime();
  const QString suggested = QDir::home().filePath("kbx-report-" + now.toString("yyyyMMdd-HHmmss") + ".txt");
  const QString path =
      QFileDialog::getSaveFileName(this, "Save Report As", suggested, "Text files (*.txt);;All files (*)");
  if (path.isEmpty()) return;
  QString error;
  if (!SaveReport(path, error)) {
    QMessageBox::warning(
        this, "Save Report As",
        "The report could not be saved to " + QDir::toNativeSeparators(path) + ":\n" + error);
  }
}

bool MainWindow::SaveReport(const QString& path, QString& error) const {
  ReportFacts facts;
  facts.dateTime = ReportDateTime(QDateTime::currentDateTime());
  facts.programVersion = kProgramVersion;
  facts.portSettings = QString::fromStdString(SettingsLabel(portState_)).trimmed().toStdString();
  facts.portOpen = portState_.open;
  facts.linkUp = portState_.linkUp;
  facts.rejected = rejectedSettings_;
  if (xcp_) {
    facts.upsType = xcp_->UpsType();
    const int com = xcp_->StoredPortSettings().comPort;
    if (session_.deviceOf && com > 0) facts.device = session_.deviceOf(com);
    facts.simulated = com > 0 && com == session_.simulatedCom;
    for (int processor = 1; processor <= 5; ++processor) {
      const FirmwareVersion version = xcp_->ProcessorVersion(processor);
      facts.processorVersions.push_back(version.Present() ? version.Text() : std::string());
    }
  }
  std::vector<std::string> lines;
  for (const QString& line : board_->Lines()) lines.push_back(line.toStdString());
  const std::string report = BoardReport(facts, lines);

  // Written whole or not at all: a file that exists keeps its old content
  // when the new one cannot be written.
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) ||
      file.write(report.data(), static_cast<qint64>(report.size())) != static_cast<qint64>(report.size()) ||
      !file.commit()) {
    error = file.errorString();
    return false;
  }
  return true;
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

void MainWindow::Stop() {
  // Each dialog's own loop ends; the commands waiting on them return, and the
  // window then closes (held by a command until it has returned).
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(top); dialog != nullptr && dialog->isVisible())
      dialog->reject();
  }
  close();
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
