#pragma once

#include <QDialog>

class QComboBox;
class QGroupBox;
class QPushButton;
class QRadioButton;

namespace kbx {

class Xcp;

// The module configuration dialog: how many KBX modules are attached.
class KbxDialog : public QDialog {
  Q_OBJECT

 public:
  KbxDialog(Xcp& xcp, QWidget* owner);

 public slots:
  void ApplyClicked();
  void ExitClicked();

 private:
  void Load();
  void SelectTestOption(bool enable);

  Xcp& xcp_;
  QGroupBox* testFrame_;
  QRadioButton* disableTestOption_;  // "Disable Test"
  QRadioButton* enableTestOption_;   // "Enable Test"
  QComboBox* countCombo_;
  QPushButton* applyButton_;
  QPushButton* exitButton_;
};

}  // namespace kbx
