#pragma once

#include <QDialog>
#include <functional>

#include "platform/port_lock.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace kbx {

class Xcp;

// The port settings dialog: COM port number and baud rate for this run.
class SettingsDialog : public QDialog {
  Q_OBJECT

 public:
  // `whyNotOpen` tells why the port could not be opened last: after a failed
  // Apply the dialog says so, with what to do.
  SettingsDialog(Xcp& xcp, QWidget* owner, std::function<PortFailure()> whyNotOpen = {});

 signals:
  // An Apply the port refused, and the value it refused: "Baud 12345", "COM 9".
  void SettingRejected(const QString& value);

 public slots:
  void ApplyClicked();
  void ExitClicked();

 private:
  Xcp& xcp_;
  QPushButton* exitButton_;
  QLineEdit* comEdit_;
  QLineEdit* baudEdit_;
  QPushButton* applyButton_;
  QLabel* whyLabel_;
  std::function<PortFailure()> whyNotOpen_;
};

// A failed open's reason and fix as the technician reads them: each a
// sentence of its own.
std::string WhyNotOpenText(const PortFailure& failure);

}  // namespace kbx
