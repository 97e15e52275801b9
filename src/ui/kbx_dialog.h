#pragma once

#include <QDialog>

class QComboBox;
class QGroupBox;
class QLabel;
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

 private:
  void Load();
  void SelectTestOption(bool enable);
  void ShowOutcome();

  Xcp& xcp_;
  const StatusBoard* board_;
  QGroupBox* testFrame_;
  QRadioButton* disableTestOption_;  // "Disable Test"
  QRadioButton* enableTestOption_;   // "Enable Test"
  QComboBox* countCombo_;
  QPushButton* applyButton_;
  QPushButton* exitButton_;
  QLabel* outcomeLabel_;
};

}  // namespace kbx
