#pragma once

#include <QObject>
#include <QTimer>
#include <QWidget>

namespace kbx {

// SIGINT, SIGTERM and SIGHUP as a close request of the main window: the
// handlers only note the signal; a timer looks at the note and closes the
// window, which holds the close until a running command has ended.
class CloseOnSignals : public QObject {
 public:
  // A signal that came before counts as well.
  explicit CloseOnSignals(QWidget& window, int intervalMs = 100);

  // What the timer does: closes the window once for each new signal.
  void Poll();

 private:
  QWidget& window_;
  QTimer timer_;
  int seen_;
};

}  // namespace kbx
