// The desktop program as a process (desktop_signal_probe N [its options]),
// walked as a technician walks it: it accepts the start-up box, applies COM N
// in the Port dialog, connects, and confirms a module update of two KBXs; once
// the update has begun it sends itself a stop signal ("signalled"). It says on
// stdout the start-up box's text ("box: TEXT"), the COM box's tooltip ("tip:
// TEXT"), their lines joined by " | ", and each line on the board ("board: LINE").
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <iostream>
#include <string>

#include "app/desktop.h"
#include "ui/main_window.h"

namespace {

void Say(const std::string& line) {
  std::cout << line << std::endl;
}

std::string OneLine(const QString& text) {
  return QString(text).replace("\n", " | ").toStdString();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const QString com = argv[1];
  argv[1] = argv[0];
  return kbx::RunDesktop(argc - 1, argv + 1, [com](kbx::MainWindow& window) {
    auto* board = window.findChild<QListWidget*>("List1");
    QObject::connect(board->model(), &QAbstractItemModel::rowsInserted,
                     [board](const QModelIndex&, int, int last) {
                       const std::string line = board->item(last)->text().toStdString();
                       Say("board: " + line);
                       if (line == "Updating KBXs...") {
                         Say("signalled");
                         kill(getpid(), SIGTERM);
                       }
                     });
    auto* timer = new QTimer(&window);
    QObject::connect(timer, &QTimer::timeout, [&window, com, next = 0]() mutable {
      // The buttons pressed in the main window, one each time it takes input again.
      static const char* const presses[] = {"cmdPortSettings", "cmdConnect", "cmdBattComm"};
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr && window.isVisible() && window.TakesInput() && next < 3) {
        QTimer::singleShot(
            0, [&window, name = presses[next]] { window.findChild<QPushButton*>(name)->click(); });
        ++next;
      }
      if (modal == nullptr || modal->property("probeSeen").toBool()) return;
      modal->setProperty("probeSeen", true);
      const QString name = modal->objectName();
      QTimer::singleShot(0, [modal, name, com] {
        if (name == "startUpBox") {
          Say("box: " + OneLine(qobject_cast<QMessageBox*>(modal)->text()));
          qobject_cast<QMessageBox*>(modal)->accept();
        } else if (name == "frmSettings") {
          auto* comBox = modal->findChild<QLineEdit*>("txtCOM");
          comBox->setText(com);
          Say("tip: " + OneLine(comBox->toolTip()));
          modal->findChild<QPushButton*>("cmdApply")->click();
          modal->findChild<QPushButton*>("cmdCancel")->click();
        } else if (name == "frmKBXConfig") {
          modal->findChild<QComboBox*>("cmbKBX")->setCurrentIndex(2);
          modal->findChild<QPushButton*>("cmdApply")->click();
        } else if (name == "kbxConfirm") {
          qobject_cast<QMessageBox*>(modal)->button(QMessageBox::Yes)->click();
        }
      });
    });
    timer->start(20);
  });
}
