#include "ui/status_board.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <algorithm>

namespace kbx {

namespace {

// Both read well on black: the green of progress and success, and an amber
// for failures.
const QColor kProgressColour(0x00, 0xff, 0x00);
const QColor kFailureColour(0xff, 0xb0, 0x00);

// How many characters and lines the board shows without scrolling.
constexpr int kVisibleColumns = 52;
constexpr int kVisibleRows = 12;

// Black, with a frame that lights up while the board has the focus. The text
// colour is each line's own: a colour in the style sheet would override it.
QString BoardStyle(const char* widget) {
  return QString(
             "%1 { background: black; border: 2px solid #505050; }"
             "%1:focus { border: 2px solid palette(highlight); }")
      .arg(widget);
}

QFont BoardFont(QFont font) {
  font.setFamily("Monospace");
  font.setStyleHint(QFont::TypeWriter);
  return font;
}

}  // namespace

StatusBoard::StatusBoard(QWidget* parent) : QListWidget(parent) {
  // Lines the user selects, never the program.
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSortingEnabled(false);
  setWordWrap(false);
  setTextElideMode(Qt::ElideNone);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setAutoScroll(false);
  setFocusPolicy(Qt::StrongFocus);
  setStyleSheet(BoardStyle("QListWidget"));
  setFont(BoardFont(font()));
  setAccessibleName("Status board");
  setAccessibleDescription("What the program did and what the UPS answered, newest line last");
}

// Where an item keeps whether it is drawn as a failure.
constexpr int kFailedRole = Qt::UserRole + 1;

void StatusBoard::AddLine(const QString& line, bool failed) {
  auto* item = new QListWidgetItem(line);
  item->setData(kFailedRole, failed);
  if (failed) {
    item->setForeground(kFailureColour);
    QFont bold = font();
    bold.setBold(true);
    item->setFont(bold);
  } else {
    item->setForeground(kProgressColour);
  }
  addItem(item);
}

QStringList StatusBoard::Lines() const {
  QStringList lines;
  for (int row = 0; row < count(); ++row) lines << item(row)->text();
  return lines;
}

bool StatusBoard::LastLineFailed() const {
  return count() > 0 && item(count() - 1)->data(kFailedRole).toBool();
}

QStringList StatusBoard::SelectedLines() const {
  QList<QListWidgetItem*> selected = selectedItems();
  if (selected.isEmpty()) return Lines();
  std::sort(selected.begin(), selected.end(),
            [this](QListWidgetItem* a, QListWidgetItem* b) { return row(a) < row(b); });
  QStringList lines;
  for (const QListWidgetItem* line : selected) lines << line->text();
  return lines;
}

// An empty board copies nothing: the clipboard keeps what it held.
void StatusBoard::CopySelection() const {
  if (count() > 0) QGuiApplication::clipboard()->setText(SelectedLines().join('\n'));
}

void StatusBoard::CopyAll() const {
  if (count() > 0) QGuiApplication::clipboard()->setText(Lines().join('\n'));
}

void StatusBoard::ShowLine(QLabel& label, const QString& line, bool failed) {
  const bool failure = failed;
  label.setStyleSheet(QString("QLabel { background: black; padding: 2px 4px; color: %1; }")
                          .arg((failure ? kFailureColour : kProgressColour).name()));
  QFont font = BoardFont(label.font());
  font.setBold(failure);
  label.setFont(font);
  label.setText(line);
}

void StatusBoard::keyPressEvent(QKeyEvent* event) {
  // The list alone would copy the current line only.
  if (event == QKeySequence::Copy) {
    CopySelection();
    event->accept();
    return;
  }
  // Shift+F10 opens the menu as the Menu key does, at the current line.
  if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
    const QRect line = visualItemRect(currentItem());
    const QPoint at = currentItem() != nullptr ? line.bottomLeft() : QPoint(0, 0);
    QContextMenuEvent menu(QContextMenuEvent::Keyboard, at, viewport()->mapToGlobal(at));
    QApplication::sendEvent(viewport(), &menu);
    event->accept();
    return;
  }
  QListWidget::keyPressEvent(event);
}

void StatusBoard::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.setObjectName("boardMenu");
  QAction* copy = menu.addAction("&Copy", this, &StatusBoard::CopySelection);
  copy->setShortcut(QKeySequence::Copy);
  copy->setObjectName("boardCopy");
  QAction* copyAll = menu.addAction("Copy &All", this, &StatusBoard::CopyAll);
  copyAll->setObjectName("boardCopyAll");
  menu.addSeparator();
  menu.addAction("&Save Report As...", this, &StatusBoard::SaveReportRequested)
      ->setObjectName("boardSaveReport");
  // A report is worth saving even with an empty board; copying nothing is not.
  copy->setEnabled(count() > 0);
  copyAll->setEnabled(count() > 0);
  menu.exec(event->globalPos());
}

QSize StatusBoard::sizeHint() const {
  const QFontMetrics metrics(font());
  const int frame = 2 * frameWidth() + 4;
  return {metrics.horizontalAdvance(QString(kVisibleColumns, '0')) + frame,
          metrics.lineSpacing() * kVisibleRows + frame};
}

}  // namespace kbx
