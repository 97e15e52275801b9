#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "platform/port_lock.h"
#include "platform/port_map.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace kbx {

class Xcp;

// The port settings dialog: COM port number and baud rate for this run.
class SettingsDialog : public QDialog {
  Q_OBJECT

 public:
  // After a failed Apply the dialog says why the port would not open, with
  // what to do, where the port said.
  SettingsDialog(Xcp& xcp, QWidget* owner);

  // What the COM box's tooltip says: the device behind the number typed, and
  // the ports of the machine with their numbers (those the box takes).
  void SetPortNames(std::function<std::string(int)> deviceOf, std::vector<PortInfo> ports);

 Q_SIGNALS:
  // An Apply the port refused, and the value it refused: "Baud 12345", "COM 9".
  void SettingRejected(const QString& value);

 public Q_SLOTS:
  void ApplyClicked();
  void ExitClicked();

 private:
  Xcp& xcp_;
  QPushButton* exitButton_;
  QLineEdit* comEdit_;
  QLineEdit* baudEdit_;
  QPushButton* applyButton_;
  QLabel* whyLabel_;
  std::function<std::string(int)> deviceOf_;
  std::vector<PortInfo> ports_;

  void ShowComTip();
};

// The COM box's tooltip: which device the number `typed` means (when there
// is one to say), then each port with a number the box takes.
std::string ComTipText(const std::string& typed, const std::function<std::string(int)>& deviceOf,
                       const std::vector<PortInfo>& ports);

// A failed open's reason and fix as the technician reads them: each a
// sentence of its own.
std::string WhyNotOpenText(const PortFailure& failure);

}  // namespace kbx
