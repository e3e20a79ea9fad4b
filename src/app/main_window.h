// TForm1: the main window. It owns the serial components, the protocol-7
// client and the timers, runs the start-up sequence while it is created and
// the close sequence on every close request, and draws what the station core
// (station/station.h) reports. Where an alarm goes is decided there; the
// window's handlers only hand the core its packets, ticks and socket events.
#pragma once

#include <QButtonGroup>
#include <QMenu>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

#include "app/close_reason.h"
#include "app/link_change_log.h"
#include "app/port_control.h"
#include "app/port_page.h"
#include "app/program_status.h"
#include "app/shell_dialogs.h"
#include "app/stall_probe.h"
#include "app/status_panel.h"
#include "base/clock.h"
#include "base/clock_setter.h"
#include "config/settings.h"
#include "p7/SimpleTCP.h"
#include "serial/CPDrv.h"
#include "station/station.h"

namespace vorel {

inline constexpr char kApplicationTitle[] = "Драйвер VOREL";

// What the main window needs from outside; tests substitute each part.
struct ShellServices {
  IClock* clock = &SystemClock();
  ILocalClockSetter* clockSetter = &SystemClockSetter();
  IShellDialogs* dialogs = nullptr;
  std::function<std::unique_ptr<ISerialDevice>()> makeSerialDevice = [] { return CreateSystemSerialDevice(); };
  std::function<std::unique_ptr<ISocketApi>()> makeSocketApi = [] { return CreateSystemSocketApi(); };
  // Where the rescan looks for serial adapters besides COM1 … COM32.
  SerialDeviceRoots serialDevices;
  LocaleFormats formats = SystemLocaleFormats();
  // Lets the program end once the close sequence has agreed.
  std::function<void()> endProgram;
  // The status file kept current for "vorel --status".
  std::filesystem::path statusFile = kStatusFileName;
  // The same status in one line, as often as the file is looked at (the
  // service manager's STATUS=).
  std::function<void(const std::string&)> statusChanged;
  // The close has been agreed and begins now (before the ports close and
  // queued events are spooled), and why.
  std::function<void(CloseReason)> closing;
};

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm1(ShellServices services, QWidget* parent = nullptr);
  ~TForm1() override;

  // The server's close command and the termination signals: close without
  // asking for the password.
  void CloseWithoutPassword(CloseReason reason = CloseReason::Terminate);

  TCommPortDriver* CommPortDriver1() const { return commPortDriver1_; }
  TCommPortDriver* CommPortDriver2() const { return commPortDriver2_; }
  TSimpleTCPClient* SimpleTCPClient1() const { return simpleTCPClient1_; }
  // The station side: links, outputs, replays, supervision.
  vorel::Station& Core() const { return *station_; }
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
  const Settings& CurrentSettings() const { return settings_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  // What the station core reports to the window.
  class StationWindowSide final : public IStationView {
   public:
    explicit StationWindowSide(TForm1& form) : form_(form) {}
    void RefreshIndicator(StationIndicator indicator) override;
    void RedrawIndicator(StationIndicator indicator) override;
    void AddLogLine(Severity severity, const std::string& text) override { form_.AddLogLine(severity, text); }
    void ShowTimeSinceLastFrame(TDateTime now, TDateTime lastFrame) override;
    void LogError(int code) override;
    void ReportSpoolLoss(const std::string& loss) override;
    void CloseRequested() override { form_.CloseWithoutPassword(CloseReason::Server); }

   private:
    TForm1& form_;
  };

  void BuildWindow();
  void BuildTray();
  void StartUp();
  // The component events, handed to the station core.
  void ConnectStationHandlers();
  void CommPortDriver1ReceivePacket(TCommPortDriver* Sender, const std::uint8_t* Packet, std::uint32_t DataSize);
  void CommPortDriver2ReceivePacket(TCommPortDriver* Sender, const std::uint8_t* Packet, std::uint32_t DataSize);
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
  void SimpleTCPClient1Connected() { station_->Protocol7Connected(); }
  void SimpleTCPClient1Disconnected() { station_->Protocol7Disconnected(); }
  void SimpleTCPClient1Read(TMemoryStream* Stream);
  void Timer2Timer();
  void Timer3Timer() { station_->RetryProtocol7(); }
  // True when the program may end.
  bool RunCloseSequence();
  // The end without the password: the main port is closed, come what may.
  bool CloseMainPortForEnd();
  // Tells the shell once that the end begins.
  void BeginEnd(CloseReason reason);
  void ShowStatusPage();
  void ShowSetupPage();
  void RestoreFromTray();
  // The program as the status file tells it.
  ProgramStatus CurrentStatus(bool running);

  ShellServices services_;
  IClock& clock_;
  Settings settings_;
  QString closePassword_;
  bool closeWithoutPassword_ = false;
  CloseReason closeReason_ = CloseReason::Terminate;
  bool endBegun_ = false;
  bool closeSequenceRunning_ = false;
  bool centred_ = false;
  TDateTime startedAt_ = 0;

  TCommPortDriver* commPortDriver1_;
  TCommPortDriver* commPortDriver2_;
  TSimpleTCPClient* simpleTCPClient1_;
  StationWindowSide stationWindowSide_{*this};
  std::unique_ptr<vorel::Station> station_;
  std::array<std::unique_ptr<PortControl>, 2> portControl_;
  std::unique_ptr<StatusFile> statusFile_;
  LinkChangeLog linkChanges_;
  std::unique_ptr<StallProbe> stallProbe_;  // with VOREL_STALL_PROBE only
  QTimer timer2_;
  QTimer timer3_;

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
