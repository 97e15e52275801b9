#include "ui/frm_settings.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "link/error_trap.h"
#include "link/numbers.h"
#include "ups/xcp.h"

namespace kbx {

FrmSettings::FrmSettings(Xcp& xcp, QWidget* owner) : QDialog(owner), xcp_(xcp) {
  setObjectName("frmSettings");
  setWindowTitle("Settings");
  setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
  setModal(true);

  auto* lblBaud = new QLabel("Baud", this);
  lblBaud->setObjectName("lblBaud");
  auto* lblCom = new QLabel("COM", this);
  lblCom->setObjectName("lblCom");
  cmdCancel_ = new QPushButton("E&xit", this);
  cmdCancel_->setObjectName("cmdCancel");
  txtCOM_ = new QLineEdit(this);
  txtCOM_->setObjectName("txtCOM");
  txtCOM_->setMaxLength(1);
  txtCOM_->setFixedWidth(32);
  txtBaud_ = new QLineEdit(this);
  txtBaud_->setObjectName("txtBaud");
  txtBaud_->setMaxLength(5);
  txtBaud_->setFixedWidth(72);
  cmdApply_ = new QPushButton("&Apply", this);
  cmdApply_->setObjectName("cmdApply");
  // Enter in a text box applies nothing by itself.
  cmdApply_->setAutoDefault(false);
  cmdCancel_->setAutoDefault(false);

  auto* grid = new QGridLayout(this);
  grid->addWidget(lblBaud, 0, 0);
  grid->addWidget(txtBaud_, 0, 1, Qt::AlignLeft);
  grid->addWidget(cmdApply_, 0, 2);
  grid->addWidget(lblCom, 1, 0);
  grid->addWidget(txtCOM_, 1, 1, Qt::AlignLeft);
  grid->addWidget(cmdCancel_, 1, 2);
  setTabOrder(cmdCancel_, txtCOM_);
  setTabOrder(txtCOM_, txtBaud_);
  setTabOrder(txtBaud_, cmdApply_);
  connect(cmdApply_, &QPushButton::clicked, this, &FrmSettings::cmdApply_Click);
  connect(cmdCancel_, &QPushButton::clicked, this, &FrmSettings::cmdCancel_Click);

  // Load: the stored settings, and the label as the port reports them. Escape
  // anywhere closes the dialog, as QDialog does.
  RunTrapped(xcp_.Host(), Routine::kSettingsDialogLoad, [&] {
    txtBaud_->setText(QString::fromStdString(xcp_.StoredPortSettings().baudRate));
    txtCOM_->setText(QString::fromStdString(xcp_.StoredPortSettings().comPort));
    xcp_.RefreshSettingsLabel();
  });
  cmdCancel_->setFocus();

  setFixedSize(sizeHint());
  if (owner) move(owner->geometry().center() - rect().center());
}

void FrmSettings::cmdApply_Click() {
  xcp_.Host().BoardClear();
  if (!IsNumeric(txtCOM_->text().toStdString())) {
    txtCOM_->setFocus();
    return;
  }
  if (!IsNumeric(txtBaud_->text().toStdString())) {
    txtBaud_->setFocus();
    return;
  }
  // A port that fails says so on the board; the dialog stays for a correction.
  xcp_.ChangePort(txtBaud_->text().toStdString(), txtCOM_->text().toStdString());
}

void FrmSettings::cmdCancel_Click() {
  reject();
}

}  // namespace kbx
