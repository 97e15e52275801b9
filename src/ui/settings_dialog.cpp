#include "ui/settings_dialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "link/error_trap.h"
#include "link/numbers.h"
#include "platform/decimal.h"
#include "ui/keyboard.h"
#include "ups/xcp.h"

namespace kbx {

namespace {

// Ends a sentence with a full stop unless it has one.
std::string Sentence(std::string text) {
  if (!text.empty() && text.back() != '.') text += '.';
  return text;
}

}  // namespace

std::string WhyNotOpenText(const PortFailure& failure) {
  std::string text = Sentence(failure.reason);
  if (!failure.fix.empty()) text += "\n" + Sentence(failure.fix);
  return text;
}

std::string ComTipText(const std::string& typed, const std::function<std::string(int)>& deviceOf,
                       const std::vector<PortInfo>& ports) {
  std::string text = "The COM port number, 1 to " + std::to_string(PortMap::kMaxAdapterNumber);
  if (deviceOf && typed.size() == 1 && typed[0] >= '1' && typed[0] <= '9')
    text += "\nCOM" + typed + " is " + deviceOf(typed[0] - '0');
  std::string listed;
  for (const PortInfo& port : ports) {
    if (port.comNumber < 1 || port.comNumber > PortMap::kMaxAdapterNumber) continue;
    listed += "\nCOM" + std::to_string(port.comNumber) + ": " + port.device;
    if (!port.description.empty()) listed += " (" + port.description + ")";
  }
  if (!listed.empty()) text += "\n\nPorts of this computer:" + listed;
  return text;
}

void SettingsDialog::SetPortNames(std::function<std::string(int)> deviceOf, std::vector<PortInfo> ports) {
  deviceOf_ = std::move(deviceOf);
  ports_ = std::move(ports);
  ShowComTip();
}

void SettingsDialog::ShowComTip() {
  comEdit_->setToolTip(QString::fromStdString(ComTipText(comEdit_->text().toStdString(), deviceOf_, ports_)));
}

SettingsDialog::SettingsDialog(Xcp& xcp, QWidget* owner) : QDialog(owner), xcp_(xcp) {
  setObjectName("frmSettings");
  setWindowTitle("Settings");
  setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
  setModal(true);

  auto* baudLabel = new QLabel("&Baud", this);
  baudLabel->setObjectName("lblBaud");
  auto* comLabel = new QLabel("&COM", this);
  comLabel->setObjectName("lblCom");
  exitButton_ = new QPushButton("E&xit", this);
  exitButton_->setObjectName("cmdCancel");
  comEdit_ = new QLineEdit(this);
  comEdit_->setObjectName("txtCOM");
  comEdit_->setMaxLength(1);
  baudEdit_ = new QLineEdit(this);
  baudEdit_->setObjectName("txtBaud");
  baudEdit_->setMaxLength(5);
  // Wide enough for what they take, in the font they show it in.
  const auto fit = [](QLineEdit* edit, const char* widest) {
    edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(widest) +
                        2 * edit->fontMetrics().averageCharWidth() + edit->minimumSizeHint().width());
  };
  fit(comEdit_, "8");
  fit(baudEdit_, "88888");
  SelectOnMnemonic(baudLabel, baudEdit_);
  SelectOnMnemonic(comLabel, comEdit_);
  applyButton_ = new QPushButton("&Apply", this);
  applyButton_->setObjectName("cmdApply");
  // Enter presses the focused button; in a text box it applies nothing by itself.
  applyButton_->setAutoDefault(false);
  exitButton_->setAutoDefault(false);
  PressOnEnter({applyButton_, exitButton_});

  auto* grid = new QGridLayout(this);
  grid->addWidget(baudLabel, 0, 0);
  grid->addWidget(baudEdit_, 0, 1, Qt::AlignLeft);
  grid->addWidget(applyButton_, 0, 2);
  grid->addWidget(comLabel, 1, 0);
  grid->addWidget(comEdit_, 1, 1, Qt::AlignLeft);
  grid->addWidget(exitButton_, 1, 2);
  // Why the last Apply failed, and what to do; hidden until one does.
  whyLabel_ = new QLabel(this);
  whyLabel_->setObjectName("lblWhy");
  whyLabel_->setWordWrap(true);
  whyLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  whyLabel_->setMinimumWidth(whyLabel_->fontMetrics().averageCharWidth() * 44);
  whyLabel_->hide();
  grid->addWidget(whyLabel_, 2, 0, 1, 3);
  grid->setSizeConstraint(QLayout::SetFixedSize);
  // Reading order: the upper row, then the lower one.
  setTabOrder(baudEdit_, applyButton_);
  setTabOrder(applyButton_, comEdit_);
  setTabOrder(comEdit_, exitButton_);
  connect(applyButton_, &QPushButton::clicked, this, &SettingsDialog::ApplyClicked);
  connect(exitButton_, &QPushButton::clicked, this, &SettingsDialog::ExitClicked);
  connect(comEdit_, &QLineEdit::textChanged, this, &SettingsDialog::ShowComTip);

  // Load: the stored settings, and the label as the port reports them. Escape
  // anywhere closes the dialog, as QDialog does.
  RunTrapped(xcp_.Host(), Routine::kSettingsDialogLoad, [&] {
    baudEdit_->setText(QString::number(xcp_.StoredPortSettings().baudRate));
    comEdit_->setText(QString::number(xcp_.StoredPortSettings().comPort));
    xcp_.RefreshSettingsLabel();
  });
  baudEdit_->setFocus();

  grid->activate();
  if (owner) move(owner->geometry().center() - rect().center());
}

void SettingsDialog::ApplyClicked() {
  xcp_.Host().BoardClear();
  // A value that is no number: its box again, selected, so that typing replaces it.
  for (QLineEdit* box : {comEdit_, baudEdit_}) {
    if (!IsNumeric(box->text().toStdString())) {
      box->setFocus();
      box->selectAll();
      return;
    }
  }
  // A port that fails says so on the board, and here why; the dialog stays
  // for a correction.
  // The baud rate is a plain decimal number or none the port takes (0); the
  // COM number is the number typed, which the port takes as an Integer.
  const std::string baud = baudEdit_->text().toStdString();
  const std::string com = comEdit_->text().toStdString();
  const PortOutcome failure = xcp_.ChangePort(ParseDecimal<int>(baud).value_or(0), NumberFromText(com));
  const PortFailure why = failure ? failure->why : PortFailure{};
  whyLabel_->setText(QString::fromStdString(why.reason.empty() ? "" : WhyNotOpenText(why)));
  whyLabel_->setVisible(!why.reason.empty());
  if (failure) {
    // The value the port refused: the baud rate for a rate it cannot do, else the port.
    const bool baudRefused = failure->number == kErrInvalidProperty || failure->number == kErrCommState;
    Q_EMIT SettingRejected(QString::fromStdString(baudRefused ? "Baud " + baud : "COM " + com));
  }
}

void SettingsDialog::ExitClicked() {
  reject();
}

}  // namespace kbx
