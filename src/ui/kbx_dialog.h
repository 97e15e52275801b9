#pragma once

#include <QDialog>
#include <QPointer>
#include <utility>
#include <vector>

class QCloseEvent;
class QComboBox;
class QGroupBox;
class QLabel;
class QKeyEvent;
class QPushButton;
class QRadioButton;

namespace kbx {

class StatusBoard;
class Xcp;

// The module configuration dialog: how many KBX modules are attached. It
// opens beside its owner so that the board stays readable, and shows the
// outcome of an update (the board's last line) itself.
class KbxDialog : public QDialog {
  Q_OBJECT

 public:
  KbxDialog(Xcp& xcp, QWidget* owner, const StatusBoard* board = nullptr);

 public slots:
  void ApplyClicked();
  void ExitClicked();

 protected:
  // Escape and closing the window do nothing while the update runs.
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Load();
  void SelectTestOption(bool enable);
  void ShowOutcome();
  // While the update runs the input controls refuse input; the labels and
  // the choices stay readable. Unlocking drops what queued up meanwhile and
  // gives each control back the state it had.
  void LockInput();
  void UnlockInput();

  Xcp& xcp_;
  const StatusBoard* board_;
  QGroupBox* testFrame_;
  QRadioButton* disableTestOption_;  // "Disable Test"
  QRadioButton* enableTestOption_;   // "Enable Test"
  QComboBox* countCombo_;
  QPushButton* applyButton_;
  QPushButton* exitButton_;
  QLabel* outcomeLabel_;
  bool updating_ = false;
  bool updated_ = false;  // an update ran: the strip shows the board's last line
  std::vector<std::pair<QWidget*, bool>> enabledBeforeLock_;
  QPointer<QWidget> focusBeforeLock_;
};

}  // namespace kbx
