// The desktop program as a process, driven to one of its windows so that a
// test can send it a signal there. It says on stdout which window is up
// ("up NAME"), "updating" once a module update was confirmed, and each line
// added to the board ("board: LINE") as it comes.
//
//   desktop_signal_probe WINDOW [kbx-configurator options]
//
// WINDOW: startUpBox (waits for the box, and says its text: "box: TEXT", its
// lines joined by " | "), frmKBXConfig (after a connect), update (confirms a
// module update of two KBXs), help; or comN: applies
// COM N in the Port dialog (saying the COM box's tooltip, "tip: TEXT"), then
// connects and says "connected" once the lamp is green.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <iostream>
#include <string>
#include <vector>

#include "app/desktop.h"
#include "ui/main_window.h"

namespace {

void Say(const std::string& line) {
  std::cout << line << std::endl;
}

std::string OneLine(const QString& text) {
  return QString(text).replace("\n", " | ").toStdString();
}

void Later(std::function<void()> act) {
  QTimer::singleShot(0, std::move(act));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string target = argv[1];
  argv[1] = argv[0];
  return kbx::RunDesktop(argc - 1, argv + 1, [&target](kbx::MainWindow& window) {
    auto* board = window.findChild<QListWidget*>("List1");
    QObject::connect(board->model(), &QAbstractItemModel::rowsInserted,
                     [board](const QModelIndex&, int, int last) {
                       Say("board: " + board->item(last)->text().toStdString());
                     });
    const QString pickCom = target.starts_with("com") ? QString::fromStdString(target.substr(3)) : QString();
    // The buttons and menu items pressed in the main window, one each time it
    // takes input again.
    std::vector<const char*> presses;
    if (!pickCom.isEmpty()) presses = {"cmdPortSettings", "cmdConnect"};
    if (target == "frmKBXConfig" || target == "update") presses = {"cmdConnect", "cmdBattComm"};
    if (target == "help") presses = {"HelpTopics"};
    auto* timer = new QTimer(&window);
    QObject::connect(timer, &QTimer::timeout, [&window, &target, pickCom, presses, next = 0u]() mutable {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr && window.isVisible() && window.TakesInput() && next < presses.size()) {
        Later([&window, &target, name = presses[next]] {
          if (auto* button = window.findChild<QPushButton*>(name)) {
            button->click();
          } else {
            window.findChild<QAction*>(name)->trigger();
            if (target == "help") Say("up help");
          }
        });
        ++next;
      } else if (modal == nullptr && next == presses.size() && !pickCom.isEmpty() &&
                 window.LampShowsConnected()) {
        ++next;
        Say("connected");
      }
      if (modal == nullptr || modal->property("probeSeen").toBool()) return;
      modal->setProperty("probeSeen", true);
      const QString name = modal->objectName();
      Say("up " + name.toStdString());
      if (auto* box = qobject_cast<QMessageBox*>(modal); box && name == "startUpBox")
        Say("box: " + OneLine(box->text()));
      if (!pickCom.isEmpty() && name == "frmSettings") {
        Later([modal, pickCom] {
          auto* com = modal->findChild<QLineEdit*>("txtCOM");
          com->setText(pickCom);
          Say("tip: " + OneLine(com->toolTip()));
          modal->findChild<QPushButton*>("cmdApply")->click();
          modal->findChild<QPushButton*>("cmdCancel")->click();
        });
      }
      if (target == "update" && name == "frmKBXConfig") {
        Later([modal] {
          modal->findChild<QComboBox*>("cmbKBX")->setCurrentIndex(2);
          modal->findChild<QPushButton*>("cmdApply")->click();
        });
      } else if (target == "update" && name == "kbxConfirm") {
        Later([modal] {
          Say("updating");
          qobject_cast<QMessageBox*>(modal)->button(QMessageBox::Yes)->click();
        });
      }
    });
    timer->start(20);
  });
}
