#pragma once

#include <QDialog>

class QComboBox;
class QGroupBox;
class QPushButton;
class QRadioButton;

namespace kbx {

class Xcp;

// The module configuration dialog: how many KBX modules are attached.
class FrmKBXConfig : public QDialog {
  Q_OBJECT

 public:
  FrmKBXConfig(Xcp& xcp, QWidget* owner);

  QComboBox* cmbKBX() const { return cmbKBX_; }

 public slots:
  void cmdApply_Click();
  void cmdExit_Click();

 private:
  void Form_Load();
  void SelectTestOption(bool enable);

  Xcp& xcp_;
  QGroupBox* frame1_;
  QRadioButton* btcEnable0_;  // "Disable Test"
  QRadioButton* btcEnable1_;  // "Enable Test"
  QComboBox* cmbKBX_;
  QPushButton* cmdApply_;
  QPushButton* cmdExit_;
};

}  // namespace kbx
