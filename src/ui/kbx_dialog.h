#pragma once

#include <QDialog>
#include <QPointer>
#include <QRect>
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

class Xcp;
struct KbxUpdateOutcome;

// The module configuration dialog: how many KBX modules are attached. It
// opens beside its owner so that the board stays readable, and shows the
// outcome of an update itself: the line it ended with and, when it did not
// complete, how far it got.
class KbxDialog : public QDialog {
  Q_OBJECT

 public:
  // It opens beside `owner`, and never over `keepClear` (global coordinates)
  // where that can be helped.
  KbxDialog(Xcp& xcp, QWidget* owner, const QRect& keepClear = {});

 public Q_SLOTS:
  void ApplyClicked();
  void ExitClicked();

 protected:
  // Escape and closing the window do nothing while the update runs.
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Load();
  void SelectTestOption(bool enable);
  // Without an outcome (no update yet, or the user answered No) the strip
  // says what it is for.
  void ShowOutcome(const KbxUpdateOutcome* outcome);
  // While the update runs the input controls refuse input; the labels and
  // the choices stay readable. Unlocking drops what queued up meanwhile and
  // gives each control back the state it had.
  void LockInput();
  void UnlockInput();

  Xcp& xcp_;
  QGroupBox* testFrame_;
  QRadioButton* disableTestOption_;  // "Disable Test"
  QRadioButton* enableTestOption_;   // "Enable Test"
  QComboBox* countCombo_;
  QPushButton* applyButton_;
  QPushButton* exitButton_;
  QLabel* outcomeLabel_;
  QLabel* outcomeDetailLabel_;  // where a failed update stopped, what the UPS confirmed
  bool updating_ = false;
  std::vector<std::pair<QWidget*, bool>> enabledBeforeLock_;
  QPointer<QWidget> focusBeforeLock_;
};

}  // namespace kbx
