// TForm1: the main window. It owns the serial components, the timers and the
// per-port state, runs the start-up sequence while it is created and the close
// sequence on every close request. Its handlers stay short: the logic lives
// in the subsystems they call.
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

#include "app/lost_port_reopener.h"
#include "app/port_control.h"
#include "app/port_page.h"
#include "app/program_status.h"
#include "app/shell_dialogs.h"
#include "app/status_panel.h"
#include "base/clock.h"
#include "base/clock_setter.h"
#include "config/settings.h"
#include "app/link_adapters.h"
#include "p7/SimpleTCP.h"
#include "p7/reassembly.h"
#include "p8/gui_hand_over.h"
#include "p8/link.h"
#include "p8/link_hand_over.h"
#include "receiver/event_outputs.h"
#include "receiver/main_port_handler.h"
#include "receiver/protocol7_replay.h"
#include "receiver/second_port_handler.h"
#include "receiver/station_supervision.h"
#include "receiver/station_port.h"
#include "serial/CPDrv.h"

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
};

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm1(ShellServices services, QWidget* parent = nullptr);
  ~TForm1() override;

  // The server's close command and the termination signals: close without
  // asking for the password.
  void CloseWithoutPassword();

  TCommPortDriver* CommPortDriver1() const { return commPortDriver1_; }
  TCommPortDriver* CommPortDriver2() const { return commPortDriver2_; }
  TSimpleTCPClient* SimpleTCPClient1() const { return simpleTCPClient1_; }
  bool Protocol7LinkUp() const { return protocol7Up_; }
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
  const StationPortState& Station(PortId port) const { return station_[Index(port)]; }
  // The protocol-7 receive buffer; the server's frames arrive here.
  p7::FrameReassembler* ReceiveBuffer() const { return receiveBuffer_.get(); }
  // The protocol-8 link object; none while protocol 8 is off.
  cl* Link() const { return link_.get(); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  static int Index(PortId port) { return port == PortId::Main ? 0 : 1; }

  // What the message server's frames ask of the window.
  class ServerCommands final : public p7::IServerCommands {
   public:
    explicit ServerCommands(TForm1& form) : form_(form) {}
    void SetClock(TDateTime localDateTime) override { form_.services_.clockSetter->SetLocalDateTime(localDateTime); }
    void CloseRequested() override { form_.CloseWithoutPassword(); }

   private:
    TForm1& form_;
  };

  void BuildWindow();
  void BuildTray();
  void StartUp();
  void OpenPortAtStartUp(PortId port, TCommPortDriver& driver, PortPanel& panel);
  // The station side: outputs, frame handlers and supervision, made from
  // whatever settings the start-up got to read.
  void BuildStationSide();
  void CommPortDriver1ReceivePacket(TCommPortDriver* Sender, const std::uint8_t* Packet, std::uint32_t DataSize);
  void CommPortDriver2ReceivePacket(TCommPortDriver* Sender, const std::uint8_t* Packet, std::uint32_t DataSize);
  StationSupervision::Port SupervisedPort(PortId port, IndicatorId indicator);
  // The port page: the operator starts, stops and rescans each port.
  void BuildPortControls();
  void AdvGlowButton2Click() { portControl_[0]->StartStopPressed(); }
  void AdvGlowButton3Click() { portControl_[1]->StartStopPressed(); }
  void AdvGlowButton1Click() { portControl_[0]->RescanPressed(); }
  void AdvGlowButton4Click() { portControl_[1]->RescanPressed(); }
  void AdvOfficeComboBox1Select() { portControl_[0]->EntryPicked(); }
  void AdvOfficeComboBox2Select() { portControl_[1]->EntryPicked(); }
  void EnqueuePortStatus();
  // A line in the log on the status page, stamped with the time now.
  void AddLogLine(const std::string& text);
  // A port whose device went away is opened again by the driver itself.
  void BuildPortReopeners();
  // The protocol-7 link.
  void ConnectProtocol7Handlers();
  void SimpleTCPClient1Connected();
  void SimpleTCPClient1Disconnected();
  void SimpleTCPClient1Read(TMemoryStream* Stream);
  void Timer3Timer();
  void SendProtocol7(const p7::Frame& frame);
  // True when the program may end.
  bool RunCloseSequence();
  // The end without the password: the main port is closed, come what may.
  bool CloseMainPortForEnd();
  void ShowStatusPage();
  void ShowSetupPage();
  void RestoreFromTray();
  void Timer2Timer();
  // The program as the status file tells it.
  ProgramStatus CurrentStatus(bool running);

  ShellServices services_;
  IClock& clock_;
  Settings settings_;
  std::array<StationPortState, 2> station_;
  QString closePassword_;
  bool closeWithoutPassword_ = false;
  bool closeSequenceRunning_ = false;
  bool centred_ = false;
  TDateTime startedAt_ = 0;
  ServerCommands serverCommands_{*this};

  // What the protocol-8 link thread asks of the window; it runs on the GUI
  // thread through guiHandOver_.
  class LinkWindowSide final : public ILinkHandOver {
   public:
    explicit LinkWindowSide(TForm1& form) : form_(form) {}
    void AddLogLine(const std::string& text) override;
    void RefreshIndicator() override;
    std::array<PortStatus, 2> PortStatuses() override;

   private:
    TForm1& form_;
  };
  void StartLink();
  void StopLink();

  LinkWindowSide linkWindowSide_{*this};
  std::unique_ptr<GuiHandOver> guiHandOver_;  // outlives link_
  std::unique_ptr<p7::FrameReassembler> receiveBuffer_;
  std::unique_ptr<cl> link_;
  std::unique_ptr<Protocol8Queue> protocol8Queue_;
  std::unique_ptr<Protocol7Sender> protocol7Sender_;
  std::unique_ptr<EventOutputs> outputs_;
  std::unique_ptr<EventOutputsSink> eventSink_;
  std::unique_ptr<MainPortHandler> mainPortHandler_;
  std::unique_ptr<SecondPortHandler> secondPortHandler_;
  std::unique_ptr<StationSupervision> supervision_;
  std::unique_ptr<Protocol7Replay> protocol7Replay_;
  bool protocol7Up_ = false;  // the protocol-7 link flag
  // The current name of each port: its ComPort setting until the operator
  // starts it under another name.
  std::array<std::string, 2> currentName_;
  std::array<std::unique_ptr<PortControl>, 2> portControl_;
  std::array<std::unique_ptr<LostPortReopener>, 2> reopener_;
  std::unique_ptr<StatusFile> statusFile_;

  TCommPortDriver* commPortDriver1_;
  TCommPortDriver* commPortDriver2_;
  TSimpleTCPClient* simpleTCPClient1_;
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
