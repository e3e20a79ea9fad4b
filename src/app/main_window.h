// TForm1: the main window. It draws what the station runtime
// (station/station_runtime.h: the serial components, the protocol-7 client,
// the timers and the station core) reports, runs the start-up sequence while
// it is created and the close sequence on every close request; the close
// itself is the station's. The port page asks the core to start, stop and
// probe its ports. Where an alarm goes is decided in the core.
#pragma once

#include <QButtonGroup>
#include <QMenu>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QToolButton>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

#include "app/close_reason.h"
#include "app/port_control.h"
#include "app/port_page.h"
#include "app/shell_dialogs.h"
#include "app/status_panel.h"
#include "base/clock.h"
#include "config/settings.h"
#include "serial/port_name.h"
#include "station/station_runtime.h"

namespace vorel {

inline constexpr char kApplicationTitle[] = "Драйвер VOREL";

// What the main window needs from outside; tests substitute each part.
struct ShellServices {
  IShellDialogs* dialogs = nullptr;
  // Where the rescan looks for serial adapters besides COM1 … COM32.
  SerialDeviceRoots serialDevices;
  LocaleFormats formats = SystemLocaleFormats();
  // Lets the program end once the close sequence has agreed and the
  // station has closed.
  std::function<void()> endProgram;
  // The close has been agreed and begins now (before the ports close and
  // queued events are spooled), and why.
  std::function<void(CloseReason)> closing;
};

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  // The runtime outlives the window.
  TForm1(StationRuntime& runtime, ShellServices services, QWidget* parent = nullptr);
  ~TForm1() override;

  // The server's close command and the termination signals: close without
  // asking for the password.
  void CloseWithoutPassword(CloseReason reason = CloseReason::Terminate);

  StatusPanel* Status() const { return status_; }
  PortPage* Ports() const { return ports_; }
  QStackedWidget* Pages() const { return pages_; }
  QToolButton* StatusButton() const { return statusButton_; }
  QToolButton* SetupButton() const { return setupButton_; }
  // None where no tray can be; the menu is there all the same.
  QSystemTrayIcon* Tray() const { return tray_; }
  QMenu* TrayMenu() const { return trayMenu_; }
  QAction* RestoreAction() const { return restoreAction_; }
  QAction* CloseAction() const { return closeAction_; }
  const QString& ClosePassword() const { return closePassword_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildWindow();
  void BuildTray();
  void StartUp();
  // What the runtime reports, drawn.
  void ConnectRuntimeSignals();
  // The port page: the operator starts, stops and rescans each port.
  void BuildPortControls();
  void AdvGlowButton2Click() { portControl_[0]->StartStopPressed(); }
  void AdvGlowButton3Click() { portControl_[1]->StartStopPressed(); }
  void AdvGlowButton1Click() { portControl_[0]->RescanPressed(); }
  void AdvGlowButton4Click() { portControl_[1]->RescanPressed(); }
  void AdvOfficeComboBox1Select() { portControl_[0]->EntryPicked(); }
  void AdvOfficeComboBox2Select() { portControl_[1]->EntryPicked(); }
  // A line in the log on the status page, stamped with the time now; on
  // standard error with the level its writer gave it.
  void AddLogLine(Severity severity, const std::string& text);
  // The indicator of the status page that a station indicator stands for.
  LinkIndicator& IndicatorOf(StationIndicator indicator);
  // Timer2's tick, drawn: a port the core opened by itself shows running.
  void ShowPortsRunning();
  // True when the program may end.
  bool RunCloseSequence();
  // The end, agreed: the shell is told once why, then the station closes.
  bool End(CloseReason reason);
  void ShowStatusPage();
  void ShowSetupPage();
  void RestoreFromTray();

  StationRuntime& runtime_;
  Station& station_;
  ShellServices services_;
  IClock& clock_;
  const Settings& settings_;
  QString closePassword_;
  bool closeWithoutPassword_ = false;
  CloseReason closeReason_ = CloseReason::Terminate;
  bool endBegun_ = false;
  bool closeSequenceRunning_ = false;
  bool centred_ = false;

  std::array<std::unique_ptr<PortControl>, 2> portControl_;

  QToolButton* statusButton_ = nullptr;
  QToolButton* setupButton_ = nullptr;
  QButtonGroup* pageButtons_ = nullptr;
  QStackedWidget* pages_ = nullptr;
  StatusPanel* status_ = nullptr;
  PortPage* ports_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  QAction* restoreAction_ = nullptr;
  QAction* closeAction_ = nullptr;
};

}  // namespace vorel
