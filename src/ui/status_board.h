#pragma once

#include <QListWidget>
#include <QStringList>

class QLabel;

namespace kbx {

// The status board: every line the program writes, newest last, green on
// black, and a line that reports a failure in the warning colour (and bold,
// for those who cannot tell the colours apart). Its text is never changed.
// The user may select lines, copy them (Ctrl+A, Ctrl+C, or the context
// menu's Copy and Copy All) or save them as a report; the program itself
// never selects, sorts or scrolls them.
class StatusBoard : public QListWidget {
  Q_OBJECT

 public:
  explicit StatusBoard(QWidget* parent);

  // A line in its colour: the warning colour when `failed` says it reports a
  // failure, or that the command it closes failed ("Done" after a failure).
  void AddLine(const QString& line, bool failed = false);
  QStringList Lines() const;
  // Whether the last line is drawn as a failure; false for an empty board.
  bool LastLineFailed() const;
  // The selected lines in board order; every line when none is selected.
  QStringList SelectedLines() const;
  void CopySelection() const;
  void CopyAll() const;

  // Draws a line as the board draws it: on black, in its colour and weight
  // (the warning colour when `failed` says it reports a failure).
  static void ShowLine(QLabel& label, const QString& line, bool failed = false);

 Q_SIGNALS:
  // "Save Report As..." was chosen; the window knows what goes into the report.
  void SaveReportRequested();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  QSize sizeHint() const override;
};

}  // namespace kbx
