#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

#include "platform/event_clock.h"

namespace kbx {

class MainWindow;

// The desktop's clock, which also tells whether a command is in one of its
// pauses: the only time a timer can fire while a command runs.
class DesktopClock : public EventClock {
 public:
  void Sleep(int milliseconds) override;
  bool Sleeping() const { return sleeping_ > 0; }

 private:
  int sleeping_ = 0;
};

// SIGINT, SIGTERM and SIGHUP as a request to end the program, whatever window
// is open: the handlers only note the signal; a timer looks at the note and,
// once no command is running, has the main window close its dialogs and end.
class CloseOnSignals : public QObject {
 public:
  // A signal that came before counts as well. `commandRunning` tells whether
  // the program is in the middle of a command; the stop then waits for its end.
  CloseOnSignals(MainWindow& window, std::function<bool()> commandRunning, int intervalMs = 100);

  // What the timer does: stops the window once for each new signal, when no
  // command runs.
  void Poll();

 private:
  MainWindow& window_;
  std::function<bool()> commandRunning_;
  QTimer timer_;
  int seen_;
};

}  // namespace kbx
