#pragma once

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <string>
#include <vector>

#include "link/xcp_host.h"
#include "platform/port_lock.h"
#include "platform/port_map.h"

class QAction;
class QLabel;
class QPushButton;

namespace kbx {

class HelpViewer;
class StatusBoard;
class Xcp;

// What the window learns of the session around it from the program that
// builds it; each part may be left empty.
struct SessionView {
  std::function<std::string(int)> deviceOf;          // the device behind a COM number
  std::function<std::vector<PortInfo>()> listPorts;  // the ports of the machine and their COM numbers
  int simulatedCom = 0;                              // the COM number of the simulated UPS; 0 for none
};

// The main window: the status board, the port indicators, the four command
// buttons and the three menus.
class MainWindow : public QMainWindow, public XcpHost {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // The module the commands work on, and the help window; both outlive the window.
  void SetXcp(Xcp* xcp) { xcp_ = xcp; }
  void SetHelpViewer(HelpViewer* viewer) { helpViewer_ = viewer; }
  const std::string& HelpFile() const { return helpFile_; }
  void SetHelpFile(const std::string& path) { helpFile_ = path; }
  void SetSessionView(SessionView view) { session_ = std::move(view); }

  // XcpHost
  void AddToBoard(const BoardLine& line) override;
  void BoardClear() override;
  void Repaint() override;
  void UpdateStatus(int status) override;
  // The settings label, struck through while the port is not open; the
  // lamp and the Connect button's caption by whether the link is up.
  void PortStateChanged(const PortState& state) override;

  // Whether the window takes user input (false while a command runs).
  bool TakesInput() const;
  // What the window shows: the settings label struck through, the green lamp in front.
  bool SettingsStrikethru() const;
  bool LampShowsConnected() const;
  // What must stay in view when a dialog opens over the window: the title,
  // the menus, the lamp and the settings label (global coordinates).
  QRect TopStrip() const;

  // Whether the window has closed for good (the port closed, the program ending).
  bool Closed() const { return unloaded_; }

  // Writes the report (the date and time, the program, the port, the UPS and
  // every board line) to a text file; false with the reason when it cannot.
  bool SaveReport(const QString& path, QString& error) const;

 public Q_SLOTS:
  void ConnectClicked();
  void ConnectChosen();
  void DisconnectChosen();
  void KbxClicked();
  void RuntimeClicked();
  void PortClicked();
  void PropertiesChosen();
  void UpdateKbxChosen();
  void BatteryTimeChosen();
  void ExitChosen();
  void HelpTopicsChosen();
  void AboutChosen();
  void SaveReportChosen();
  // A stop signal, taken when no command runs: every dialog closes, the
  // help window too, and the program ends.
  void Stop();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void SetInputEnabled(bool enabled);
  void LockForm();
  void UnlockForm();
  // Hourglass, locked window, the body, and everything restored again,
  // whatever the body raised.
  void BusyFrame(const std::function<void()>& body);
  // A body that talks to the UPS; an error no operation trapped becomes a line.
  void Guarded(const std::function<void()>& body);
  void Unload();
  // Sizes what depends on the font: the four buttons, all as wide as the
  // widest caption any of them shows; the window follows its contents.
  void FitToFont();
  // The lamp in front, its tooltip and its name for screen readers.
  void ShowLampState(bool connected);

  Xcp* xcp_ = nullptr;
  HelpViewer* helpViewer_ = nullptr;
  std::string helpFile_;
  bool busy_ = false;
  // A failure line was written since the running command began or the board
  // was cleared: the command's closing "Done" is then drawn as a failure.
  bool failedSinceCommandBegan_ = false;
  std::string lastFailureLine_;  // the last line that reported a failure, for the report
  bool closePending_ = false;
  bool unloaded_ = false;
  PortState portState_;  // as the link told it last
  SessionView session_;
  std::vector<std::string> rejectedSettings_;  // each failed Apply of the Port dialog, for the report

  QPushButton* portButton_;
  QPushButton* connectButton_;
  QPushButton* runtimeButton_;
  QPushButton* kbxButton_;
  StatusBoard* board_;
  QLabel* settingsLabel_;
  QWidget* lamp_;
  QLabel* redLamp_;
  QLabel* greenLamp_;
  QWidget* settingsDialog_ = nullptr;
  QPointer<QWidget> focusBeforeLock_;
};

}  // namespace kbx
