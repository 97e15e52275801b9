#pragma once

#include <QDialog>

namespace kbx {

// The about box: title, version and what the program is for.
class FrmAbout : public QDialog {
  Q_OBJECT

 public:
  explicit FrmAbout(QWidget* owner);
};

}  // namespace kbx
