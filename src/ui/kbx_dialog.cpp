#include "ui/kbx_dialog.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "link/board_lines.h"
#include "ui/keyboard.h"
#include "ui/queued_input.h"
#include "ui/screen_pointer.h"
#include "ui/status_board.h"
#include "ui/window_placement.h"
#include "ups/kbx_config.h"
#include "ups/xcp.h"

namespace kbx {

namespace {

const char* const kOutcomePlaceholder = "The outcome of Apply shows here";

}  // namespace

KbxDialog::KbxDialog(Xcp& xcp, QWidget* owner, const QRect& keepClear) : QDialog(owner), xcp_(xcp) {
  setObjectName("frmKBXConfig");
  setWindowTitle("KBX Options");
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
  setModal(true);

  testFrame_ = new QGroupBox("Battery Commissioning Test", this);
  testFrame_->setObjectName("Frame1");
  enableTestOption_ = new QRadioButton("Enable Test", testFrame_);
  enableTestOption_->setObjectName("BTCEnable1");
  disableTestOption_ = new QRadioButton("Disable Test", testFrame_);
  disableTestOption_->setObjectName("BTCEnable0");
  auto* options = new QVBoxLayout(testFrame_);
  options->addWidget(enableTestOption_);
  options->addWidget(disableTestOption_);
  auto* countLabel = new QLabel("&Configure KBX(s)", this);
  countLabel->setObjectName("Label1");
  countCombo_ = new QComboBox(this);
  countCombo_->setObjectName("cmbKBX");
  countCombo_->setEditable(false);
  countLabel->setBuddy(countCombo_);
  applyButton_ = new QPushButton("&Apply", this);
  applyButton_->setObjectName("cmdApply");
  exitButton_ = new QPushButton("E&xit", this);
  exitButton_->setObjectName("cmdExit");
  // Enter presses the focused button, and no other.
  applyButton_->setAutoDefault(false);
  exitButton_->setAutoDefault(false);
  PressOnEnter({applyButton_, exitButton_});
  // The outcome of an update, as the board shows it; room for the longest.
  outcomeLabel_ = new QLabel(this);
  outcomeLabel_->setObjectName("lblOutcome");
  StatusBoard::ShowLine(*outcomeLabel_, kErrorUpdatingBaseTimeRam.text, true);
  outcomeLabel_->setMinimumSize(outcomeLabel_->sizeHint());
  outcomeDetailLabel_ = new QLabel(this);
  outcomeDetailLabel_->setObjectName("lblOutcomeDetail");
  outcomeDetailLabel_->setWordWrap(true);
  outcomeDetailLabel_->setFixedWidth(outcomeLabel_->minimumWidth());
  ShowOutcome(nullptr);
  connect(applyButton_, &QPushButton::clicked, this, &KbxDialog::ApplyClicked);
  connect(exitButton_, &QPushButton::clicked, this, &KbxDialog::ExitClicked);

  auto* grid = new QGridLayout(this);
  grid->addWidget(testFrame_, 0, 0, 3, 1);
  grid->addWidget(countLabel, 0, 1);
  grid->addWidget(countCombo_, 1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(applyButton_);
  buttons->addWidget(exitButton_);
  grid->addLayout(buttons, 3, 0, 1, 2, Qt::AlignRight);
  grid->addWidget(outcomeLabel_, 4, 0, 1, 2);
  grid->addWidget(outcomeDetailLabel_, 5, 0, 1, 2);
  grid->setSizeConstraint(QLayout::SetFixedSize);
  setTabOrder(enableTestOption_, disableTestOption_);
  setTabOrder(disableTestOption_, countCombo_);
  setTabOrder(countCombo_, applyButton_);
  setTabOrder(applyButton_, exitButton_);

  enableTestOption_->setChecked(true);
  Load();
  grid->activate();
  if (owner) MoveBeside(*this, *owner, keepClear);
}

void KbxDialog::ShowOutcome(const KbxUpdateOutcome* outcome) {
  const QString line = outcome ? QString::fromStdString(outcome->line.text) : QString();
  QString detail = outcome ? QString::fromStdString(KbxUpdateSummary(*outcome)) : QString();
  if (!detail.isEmpty()) detail = detail.front().toUpper() + detail.mid(1) + ".";
  outcomeDetailLabel_->setText(detail);
  outcomeDetailLabel_->setVisible(!detail.isEmpty());
  if (line.isEmpty()) {
    // No update yet: what the strip is for, in the dialog's own colours.
    outcomeLabel_->setStyleSheet("QLabel { padding: 2px 4px; color: palette(mid); }");
    outcomeLabel_->setFont(font());
    outcomeLabel_->setText(kOutcomePlaceholder);
    outcomeLabel_->setAccessibleName(detail.isEmpty() ? "Outcome" : "Outcome: " + detail);
    return;
  }
  StatusBoard::ShowLine(*outcomeLabel_, line, !outcome->Done());
  outcomeLabel_->setAccessibleName("Outcome: " + line + (detail.isEmpty() ? "" : ". " + detail));
}

void KbxDialog::SelectTestOption(bool enable) {
  (enable ? enableTestOption_ : disableTestOption_)->setChecked(true);
}

void KbxDialog::Load() {
  SetScreenPointer(Pointer::kHourglass);
  setEnabled(false);
  const KbxChoices choices = DetermineKbxSupport(xcp_, [this] { repaint(); });
  SelectTestOption(choices.enableTest);
  testFrame_->setEnabled(choices.frameEnabled);
  disableTestOption_->setEnabled(choices.optionsEnabled);
  enableTestOption_->setEnabled(choices.optionsEnabled);
  applyButton_->setEnabled(choices.applyEnabled);
  countCombo_->clear();
  for (const auto& item : choices.items) countCombo_->addItem(QString::fromStdString(item));
  countCombo_->setCurrentIndex(choices.selected);
  SetScreenPointer(Pointer::kDefault);
  setEnabled(true);
}

void KbxDialog::ApplyClicked() {
  xcp_.Host().BoardClear();
  const std::string count = countCombo_->currentText().toStdString();
  QMessageBox question(QMessageBox::Warning, kKbxConfirmTitle,
                       QString::fromStdString(KbxConfirmText(count)).replace("\r\n", "\n"),
                       QMessageBox::Yes | QMessageBox::No, this);
  question.setObjectName("kbxConfirm");
  question.setDefaultButton(QMessageBox::No);
  if (question.exec() != QMessageBox::Yes) {
    ShowOutcome(nullptr);
    return;
  }
  SetScreenPointer(Pointer::kHourglass);
  LockInput();
  const KbxUpdateOutcome outcome = ApplyKbxConfiguration(xcp_, count, enableTestOption_->isChecked());
  SelectTestOption(xcp_.BatteryTestEnabled());
  UnlockInput();
  SetScreenPointer(Pointer::kDefault);
  if (outcome.Done()) applyButton_->setEnabled(false);
  ShowOutcome(&outcome);
}

void KbxDialog::LockInput() {
  updating_ = true;
  focusBeforeLock_ = focusWidget();
  enabledBeforeLock_.clear();
  for (QWidget* control : std::initializer_list<QWidget*>{enableTestOption_, disableTestOption_, countCombo_,
                                                          applyButton_, exitButton_}) {
    enabledBeforeLock_.emplace_back(control, control->isEnabled());
    control->setEnabled(false);
  }
}

void KbxDialog::UnlockInput() {
  DropQueuedInput();
  for (const auto& [control, enabled] : enabledBeforeLock_) control->setEnabled(enabled);
  enabledBeforeLock_.clear();
  if (focusBeforeLock_ && focusBeforeLock_->isEnabled()) focusBeforeLock_->setFocus();
  focusBeforeLock_ = nullptr;
  updating_ = false;
}

void KbxDialog::keyPressEvent(QKeyEvent* event) {
  if (updating_) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void KbxDialog::closeEvent(QCloseEvent* event) {
  if (updating_) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void KbxDialog::ExitClicked() {
  reject();
}

}  // namespace kbx
