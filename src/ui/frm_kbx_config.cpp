#include "ui/frm_kbx_config.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "ui/screen_pointer.h"
#include "ups/kbx_config.h"
#include "ups/xcp.h"

namespace kbx {

FrmKBXConfig::FrmKBXConfig(Xcp& xcp, QWidget* owner) : QDialog(owner), xcp_(xcp) {
  setObjectName("frmKBXConfig");
  setWindowTitle("KBX Options");
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
  setModal(true);

  frame1_ = new QGroupBox("Battery Commissioning Test", this);
  frame1_->setObjectName("Frame1");
  btcEnable1_ = new QRadioButton("Enable Test", frame1_);
  btcEnable1_->setObjectName("BTCEnable1");
  btcEnable0_ = new QRadioButton("Disable Test", frame1_);
  btcEnable0_->setObjectName("BTCEnable0");
  auto* options = new QVBoxLayout(frame1_);
  options->addWidget(btcEnable1_);
  options->addWidget(btcEnable0_);
  auto* label1 = new QLabel("Configure KBX(s)", this);
  label1->setObjectName("Label1");
  cmbKBX_ = new QComboBox(this);
  cmbKBX_->setObjectName("cmbKBX");
  cmbKBX_->setEditable(false);
  cmdApply_ = new QPushButton("&Apply", this);
  cmdApply_->setObjectName("cmdApply");
  cmdExit_ = new QPushButton("E&xit", this);
  cmdExit_->setObjectName("cmdExit");
  cmdApply_->setAutoDefault(false);
  cmdExit_->setAutoDefault(false);
  connect(cmdApply_, &QPushButton::clicked, this, &FrmKBXConfig::cmdApply_Click);
  connect(cmdExit_, &QPushButton::clicked, this, &FrmKBXConfig::cmdExit_Click);

  auto* grid = new QGridLayout(this);
  grid->addWidget(frame1_, 0, 0, 3, 1);
  grid->addWidget(label1, 0, 1);
  grid->addWidget(cmbKBX_, 1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cmdApply_);
  buttons->addWidget(cmdExit_);
  grid->addLayout(buttons, 3, 0, 1, 2, Qt::AlignRight);

  btcEnable1_->setChecked(true);
  Form_Load();
  setFixedSize(sizeHint());
  if (owner) move(owner->geometry().center() - rect().center());
}

void FrmKBXConfig::SelectTestOption(bool enable) {
  (enable ? btcEnable1_ : btcEnable0_)->setChecked(true);
}

void FrmKBXConfig::Form_Load() {
  SetScreenPointer(Pointer::kHourglass);
  setEnabled(false);
  const KbxChoices choices = DetermineKbxSupport(xcp_, [this] { repaint(); });
  SelectTestOption(choices.enableTest);
  frame1_->setEnabled(choices.frameEnabled);
  btcEnable0_->setEnabled(choices.optionsEnabled);
  btcEnable1_->setEnabled(choices.optionsEnabled);
  cmdApply_->setEnabled(choices.applyEnabled);
  cmbKBX_->clear();
  for (const auto& item : choices.items) cmbKBX_->addItem(QString::fromStdString(item));
  cmbKBX_->setCurrentIndex(choices.selected);
  SetScreenPointer(Pointer::kDefault);
  setEnabled(true);
}

void FrmKBXConfig::cmdApply_Click() {
  xcp_.Host().BoardClear();
  const std::string count = cmbKBX_->currentText().toStdString();
  QMessageBox question(QMessageBox::Warning, kKbxConfirmTitle,
                       QString::fromStdString(KbxConfirmText(count)).replace("\r\n", "\n"),
                       QMessageBox::Yes | QMessageBox::No, this);
  question.setObjectName("kbxConfirm");
  question.setDefaultButton(QMessageBox::No);
  if (question.exec() != QMessageBox::Yes) return;
  SetScreenPointer(Pointer::kHourglass);
  const bool done = ApplyKbxConfiguration(xcp_, count, btcEnable1_->isChecked());
  SelectTestOption(xcp_.BatteryTestEnabled());
  SetScreenPointer(Pointer::kDefault);
  if (done) cmdApply_->setEnabled(false);
}

void FrmKBXConfig::cmdExit_Click() {
  reject();
}

}  // namespace kbx
