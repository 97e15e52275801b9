#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace kbx {

class Xcp;

// The port settings dialog: COM port number and baud rate for this run.
class FrmSettings : public QDialog {
  Q_OBJECT

 public:
  FrmSettings(Xcp& xcp, QWidget* owner);

  QLineEdit* txtCOM() const { return txtCOM_; }
  QLineEdit* txtBaud() const { return txtBaud_; }

 public slots:
  void cmdApply_Click();
  void cmdCancel_Click();

 private:
  Xcp& xcp_;
  QPushButton* cmdCancel_;
  QLineEdit* txtCOM_;
  QLineEdit* txtBaud_;
  QPushButton* cmdApply_;
};

}  // namespace kbx
