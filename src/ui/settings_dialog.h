#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace kbx {

class Xcp;

// The port settings dialog: COM port number and baud rate for this run.
class SettingsDialog : public QDialog {
  Q_OBJECT

 public:
  SettingsDialog(Xcp& xcp, QWidget* owner);

 public slots:
  void ApplyClicked();
  void ExitClicked();

 private:
  Xcp& xcp_;
  QPushButton* exitButton_;
  QLineEdit* comEdit_;
  QLineEdit* baudEdit_;
  QPushButton* applyButton_;
};

}  // namespace kbx
