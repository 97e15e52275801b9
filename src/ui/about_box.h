#pragma once

#include <QDialog>

namespace kbx {

// The about box: title, version and what the program is for.
class AboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* owner);
};

}  // namespace kbx
