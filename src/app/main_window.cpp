#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QScreen>

#include <utility>

#include "app/artwork.h"
#include "app/close_password.h"
#include "app/error_log.h"
#include "app/operator_log.h"
#include "app/station_ports.h"
#include "base/spool_directory.h"
#include "base/uncaught_error.h"
#include "p8/payloads.h"
#include "p8/record_types.h"
#include "receiver/spool_file.h"

namespace vorel {
namespace {

constexpr int kClientWidth = 447;
constexpr int kClientHeight = 332;
constexpr int kPageTop = kClientHeight - 194;

QToolButton* MakePageButton(QWidget* parent, const QString& text, const QIcon& icon, int left) {
  auto* button = new QToolButton(parent);
  button->setText(text);
  button->setIcon(icon);
  button->setIconSize(QSize(48, 48));
  button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  button->setCheckable(true);
  button->setAutoRaise(true);
  button->setGeometry(left, 10, 100, 90);
  return button;
}

}  // namespace

TForm1::TForm1(ShellServices services, QWidget* parent)
    : QWidget(parent), services_(std::move(services)), clock_(*services_.clock),
      commPortDriver1_(new TCommPortDriver(this, clock_, services_.makeSerialDevice())),
      commPortDriver2_(new TCommPortDriver(this, clock_, services_.makeSerialDevice())),
      simpleTCPClient1_(new TSimpleTCPClient(this, services_.makeSocketApi())) {
  setWindowTitle(kApplicationTitle);
  setFixedSize(kClientWidth, kClientHeight);
  // The layout is in fixed pixels, made for a small, narrow dialog font.
  QFont small("DejaVu Sans Condensed");
  small.setPixelSize(11);
  setFont(small);
  ConfigureStationPort(*commPortDriver1_);
  ConfigureStationPort(*commPortDriver2_);
  BuildWindow();
  BuildTray();
  BuildPortControls();
  BuildPortReopeners();

  startedAt_ = clock_.Now();
  statusFile_ = std::make_unique<StatusFile>(services_.statusFile, clock_, [](const std::string& problem) {
    WriteToStderr("vorel: " + problem + "\n");
  });
  timer2_.setInterval(200);
  connect(&timer2_, &QTimer::timeout, this, [this] {
    RunGuarded([this] { Timer2Timer(); });
    RunGuarded([this] { statusFile_->Tick([this] { return CurrentStatus(true); }); });
  });
  timer3_.setInterval(3000);
  connect(&timer3_, &QTimer::timeout, this, [this] { RunGuarded([this] { Timer3Timer(); }); });
  timer2_.start();
  timer3_.start();

  simpleTCPClient1_->SetPort(7788);
  ConnectProtocol7Handlers();

  // An error here is reported like any other, and the window still opens.
  RunGuarded([this] { StartUp(); });
  BuildStationSide();
}

void TForm1::BuildStationSide() {
  StatusPanel& status = *status_;
  if (link_) protocol8Queue_ = std::make_unique<Protocol8Queue>(*link_);
  protocol7Sender_ = std::make_unique<Protocol7Sender>(*simpleTCPClient1_);
  EventOutputs::Callbacks callbacks;
  callbacks.refreshProtocol7Indicator = [&status] { status.Indicator(IndicatorId::Protocol7).Refresh(); };
  callbacks.logError = [](int code) { LogError(code); };
  callbacks.spoolFailed = [this](const std::string& loss) {
    AddLogLine(SpoolLossLine(loss));
  };
  outputs_ = std::make_unique<EventOutputs>(OutputSettings::From(settings_), clock_, *protocol7Sender_,
                                            protocol8Queue_.get(), std::move(callbacks));
  eventSink_ = std::make_unique<EventOutputsSink>(*outputs_);
  mainPortHandler_ = std::make_unique<MainPortHandler>(
      *commPortDriver1_, station_[0], settings_, clock_, *eventSink_,
      [&status] { status.Indicator(IndicatorId::Port1).Refresh(); });
  // A restart frame whose reopening failed: tried again every 5 s.
  mainPortHandler_->SetReopenFailed([this] { reopener_[0]->DeviceLost(); });
  secondPortHandler_ = std::make_unique<SecondPortHandler>(
      station_[1], settings_, clock_, *eventSink_, [&status] { status.Indicator(IndicatorId::Port2).Refresh(); });
  protocol7Replay_ = std::make_unique<Protocol7Replay>(
      settings_.PathForSoob, *protocol7Sender_,
      Protocol7Replay::Callbacks{[&status] { status.Indicator(IndicatorId::Protocol7).Refresh(); },
                                 [this](const std::string& line) { AddLogLine(line); }});
  StationSupervision::LinkFrameOutput linkFrames;
  if (settings_.SendMivo7)
    linkFrames = [this](p7::FrameType type, std::int32_t tag) { outputs_->SendLinkFrame(type, tag); };
  supervision_ = std::make_unique<StationSupervision>(settings_.Attention, std::move(linkFrames),
                                                      [](int code) { LogError(code); });

  commPortDriver1_->OnReceivePacket = [this](TCommPortDriver* sender, const std::uint8_t* packet, std::uint32_t size) {
    CommPortDriver1ReceivePacket(sender, packet, size);
  };
  commPortDriver2_->OnReceivePacket = [this](TCommPortDriver* sender, const std::uint8_t* packet, std::uint32_t size) {
    CommPortDriver2ReceivePacket(sender, packet, size);
  };
}

void TForm1::BuildPortControls() {
  const auto make = [this](PortId port, PortPanel& panel, TCommPortDriver& driver) {
    PortControl::Wiring wiring;
    wiring.port = port;
    wiring.panel = &panel;
    wiring.driver = &driver;
    wiring.settings = &settings_.Port(port);
    wiring.currentName = &currentName_[Index(port)];
    wiring.dialogs = services_.dialogs;
    wiring.closePassword = &closePassword_;
    wiring.reportPortStatus = [this] { EnqueuePortStatus(); };
    wiring.ending = [this] { return closeWithoutPassword_; };
    wiring.deviceRoots = services_.serialDevices;
    if (port == PortId::Main)
      wiring.sendPortNumber = [this](int number) { SendProtocol7(p7::BuildPortNumberFrame(number)); };
    return std::make_unique<PortControl>(std::move(wiring));
  };
  portControl_[0] = make(PortId::Main, ports_->Main(), *commPortDriver1_);
  portControl_[1] = make(PortId::Second, ports_->Second(), *commPortDriver2_);

  const auto guarded = [this](void (TForm1::*handler)()) {
    return [this, handler] { RunGuarded([this, handler] { (this->*handler)(); }); };
  };
  connect(ports_->Main().StartStop(), &QPushButton::clicked, this, guarded(&TForm1::AdvGlowButton2Click));
  connect(ports_->Second().StartStop(), &QPushButton::clicked, this, guarded(&TForm1::AdvGlowButton3Click));
  connect(ports_->Main().Rescan(), &QPushButton::clicked, this, guarded(&TForm1::AdvGlowButton1Click));
  connect(ports_->Second().Rescan(), &QPushButton::clicked, this, guarded(&TForm1::AdvGlowButton4Click));
  connect(ports_->Main().List(), &QComboBox::activated, this, guarded(&TForm1::AdvOfficeComboBox1Select));
  connect(ports_->Second().List(), &QComboBox::activated, this, guarded(&TForm1::AdvOfficeComboBox2Select));
}

void TForm1::BuildPortReopeners() {
  const auto make = [this](PortPanel& panel, TCommPortDriver& driver) {
    LostPortReopener::Callbacks callbacks;
    callbacks.wanted = [&panel] { return panel.IsRunning(); };
    callbacks.log = [this](const std::string& line) { AddLogLine(line); };
    callbacks.stateChanged = [this] { EnqueuePortStatus(); };
    auto reopener = std::make_unique<LostPortReopener>(driver, clock_, std::move(callbacks));
    driver.OnDeviceLost = [r = reopener.get()](TCommPortDriver*) { r->DeviceLost(); };
    return reopener;
  };
  reopener_[0] = make(ports_->Main(), *commPortDriver1_);
  reopener_[1] = make(ports_->Second(), *commPortDriver2_);
}

void TForm1::EnqueuePortStatus() {
  if (!link_) return;  // protocol 8 is off
  const std::array<PortStatus, 2> ports = linkWindowSide_.PortStatuses();
  link_->Enqueue(rtPortStatus, PortStatusPayload(ports[0], ports[1]));
}

void TForm1::CommPortDriver1ReceivePacket(TCommPortDriver*, const std::uint8_t* Packet, std::uint32_t DataSize) {
  mainPortHandler_->ReceivePacket({Packet, DataSize});
}

void TForm1::CommPortDriver2ReceivePacket(TCommPortDriver*, const std::uint8_t* Packet, std::uint32_t DataSize) {
  secondPortHandler_->ReceivePacket({Packet, DataSize});
}

TForm1::~TForm1() {
  StopLink();
  // The last word of the status file: the driver has ended, and what waits
  // in the spool for the next run.
  try {
    statusFile_->Write(CurrentStatus(false));
  } catch (...) {
    // the end goes on
  }
}

ProgramStatus TForm1::CurrentStatus(bool running) {
  ProgramStatus s;
  s.running = running;
  s.pid = QCoreApplication::applicationPid();
  s.started = startedAt_;
  const auto port = [this](int i, const TCommPortDriver& driver) {
    SerialPortStatus p{currentName_[i], driver.IsOpen(), station_[i].linkUp, std::nullopt};
    // The start value lies a day before the start: no frame yet.
    if (station_[i].lastFrameTime >= startedAt_) p.lastFrame = station_[i].lastFrameTime;
    return p;
  };
  s.main = port(0, *commPortDriver1_);
  s.second = port(1, *commPortDriver2_);
  const auto link = [](bool on, bool up) { return !on ? LinkState::Off : up ? LinkState::Up : LinkState::Down; };
  s.protocol7 = link(settings_.SendMivo7, protocol7Up_);
  s.protocol8 = link(link_ != nullptr, link_ && link_->LinkUp());
  s.ddmFiles = FindSpoolFiles(settings_.PathForSoob, kProtocol7SpoolExtension).size();
  s.dd8Files = FindSpoolFiles(settings_.PathForSoob, kProtocol8SpoolExtension).size();
  return s;
}

void TForm1::BuildWindow() {
  auto* title = new QLabel(kApplicationTitle, this);
  QFont titleFont = title->font();
  titleFont.setPointSize(16);
  titleFont.setBold(true);
  title->setFont(titleFont);
  title->setGeometry(230, 10, 207, 90);
  title->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  statusButton_ = MakePageButton(this, "Состояние", StatusPageIcon(), 10);
  setupButton_ = MakePageButton(this, "Настройки", SetupPageIcon(), 115);
  pageButtons_ = new QButtonGroup(this);
  pageButtons_->setExclusive(true);
  pageButtons_->addButton(statusButton_);
  pageButtons_->addButton(setupButton_);
  connect(statusButton_, &QToolButton::clicked, this, [this] { ShowStatusPage(); });
  connect(setupButton_, &QToolButton::clicked, this, [this] { ShowSetupPage(); });

  LinkFlagSources flags{
      [this] { return station_[0].linkUp; },
      [this] { return station_[1].linkUp; },
      [this] { return link_ && link_->LinkUp(); },
      [this] { return protocol7Up_; },
  };
  // Pages made inside the window take its font before they size their labels.
  pages_ = new QStackedWidget(this);
  pages_->setGeometry(0, kPageTop, kClientWidth, 194);
  status_ = new StatusPanel(std::move(flags), services_.formats, pages_);
  ports_ = new PortPage(pages_);
  pages_->addWidget(status_);
  pages_->addWidget(ports_);
  status_->SetProtocol7RowVisible(false);
  ShowSetupPage();  // the page on show until start-up has run to its end
}

void TForm1::BuildTray() {
  trayMenu_ = new QMenu(this);
  restoreAction_ = trayMenu_->addAction("Восстановить");
  trayMenu_->addSeparator();
  closeAction_ = trayMenu_->addAction("Закрыть");
  connect(restoreAction_, &QAction::triggered, this, [this] { RestoreFromTray(); });
  connect(closeAction_, &QAction::triggered, this, [this] { close(); });

  // Where no tray can be (offscreen, a desktop without one) there is no
  // icon; X11 also picks up a tray that starts after the driver.
  if (!QSystemTrayIcon::isSystemTrayAvailable() && QGuiApplication::platformName() != "xcb") return;
  tray_ = new QSystemTrayIcon(TrayIcon(), this);
  tray_->setToolTip("Драйвер - VOREL");
  tray_->setContextMenu(trayMenu_);
  tray_->show();
}

void TForm1::StartUp() {
  const TDateTime now = clock_.Now();
  for (StationPortState& port : station_) port.Reset(now);
  receiveBuffer_ = std::make_unique<p7::FrameReassembler>(serverCommands_);
  closeWithoutPassword_ = false;
  status_->Indicator(IndicatorId::Port1).Redraw();
  status_->Indicator(IndicatorId::Port2).Redraw();

  const auto seed = static_cast<std::uint32_t>(clock_.TickCount()) ^
                    static_cast<std::uint32_t>(RoundToMsecs(now).value_or(0));
  closePassword_ = QString::fromStdString(MakeClosePassword(seed));
  status_->ShowPassword(closePassword_);

  ports_->Main().List()->clear();
  LoadSettings(kIniFileName, settings_);
  simpleTCPClient1_->SetHost(settings_.host);
  currentName_ = {settings_.port.ComPort, settings_.portUSB.ComPort};

  ApplyLineSettings(settings_.port, *commPortDriver1_);
  OpenPortAtStartUp(PortId::Main, *commPortDriver1_, ports_->Main());
  ApplyLineSettings(settings_.portUSB, *commPortDriver2_);
  OpenPortAtStartUp(PortId::Second, *commPortDriver2_, ports_->Second());

  if (settings_.SendMivo7) simpleTCPClient1_->SetConnected(true);
  status_->SetProtocol7RowVisible(settings_.SendMivo7);
  if (settings_.SendMivo8) {
    StartLink();
    status_->Indicator(IndicatorId::Protocol8).Redraw();
  }

  startedAt_ = clock_.Now();
  status_->ShowStartTime(startedAt_);
  ShowStatusPage();
}

void TForm1::OpenPortAtStartUp(PortId port, TCommPortDriver& driver, PortPanel& panel) {
  const PortSettings& configured = settings_.Port(port);
  if (configured.ComPort != kNoPortName) panel.List()->setEditText(QString::fromStdString(configured.ComPort));
  if (!vorel::OpenPortAtStartUp(driver, configured, clock_)) panel.SetStopped();
}

void TForm1::CloseWithoutPassword() {
  closeWithoutPassword_ = true;
  // Whatever dialog is open is closed as cancelled; the code that waited on
  // it finds the flag set once it returns.
  services_.dialogs->EndOfProgram();
  // A close sequence waiting on its dialog is already closing the window: it
  // ends the program as soon as that dialog has returned.
  if (closeSequenceRunning_) return;
  close();
}

void TForm1::closeEvent(QCloseEvent* event) {
  bool end = false;
  RunGuarded([&] { end = RunCloseSequence(); });
  if (!end) {
    event->ignore();
    return;
  }
  event->accept();
  if (services_.endProgram) services_.endProgram();
}

bool TForm1::RunCloseSequence() {
  if (closeWithoutPassword_) return CloseMainPortForEnd();
  if (closeSequenceRunning_) return false;  // a request while the password is being asked
  closeSequenceRunning_ = true;
  const PasswordOutcome outcome = services_.dialogs->AskClosePassword(closePassword_);
  if (outcome == PasswordOutcome::Wrong && !closeWithoutPassword_)
    services_.dialogs->ShowMessage("Не правильный пароль.");
  closeSequenceRunning_ = false;
  // The server's close command or a signal came while a dialog was open.
  if (closeWithoutPassword_) return CloseMainPortForEnd();
  if (outcome != PasswordOutcome::Accepted) return false;
  if (commPortDriver1_->IsOpen()) commPortDriver1_->Close();
  // The link thread ends by itself after its current pass.
  if (settings_.SendMivo8 && link_) link_->RequestStop();
  return true;
}

bool TForm1::CloseMainPortForEnd() {
  try {
    commPortDriver1_->Close();
  } catch (...) {
    // the program ends whatever the port says
  }
  return true;
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // Minimised, the program lives in the notification area only, where there
  // is one; without a tray it stays on the taskbar so it is never lost.
  if (event->type() == QEvent::WindowStateChange && isMinimized() && tray_ && QSystemTrayIcon::isSystemTrayAvailable())
    QTimer::singleShot(0, this, [this] { hide(); });
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (centred_) return;
  centred_ = true;
  if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

void TForm1::RestoreFromTray() {
  showNormal();
  raise();
  activateWindow();
}

void TForm1::ShowStatusPage() {
  pages_->setCurrentWidget(status_);
  statusButton_->setChecked(true);
}

void TForm1::ShowSetupPage() {
  pages_->setCurrentWidget(ports_);
  setupButton_->setChecked(true);
}

void TForm1::Timer2Timer() {
  // Both replays take their file from one reading of the spool directory.
  SpoolListing spool(settings_.PathForSoob);
  if (link_) {
    link_->ReplaySpool(spool, clock_.Now(), [this](const std::string& line) { AddLogLine(line); });
  }
  if (settings_.SendMivo7) protocol7Replay_->Step(spool);
  status_->ShowTimeSinceLastFrame(clock_.Now(), station_[0].lastFrameTime);
  supervision_->Check(SupervisedPort(PortId::Main, IndicatorId::Port1), clock_.Now());
  supervision_->Check(SupervisedPort(PortId::Second, IndicatorId::Port2), clock_.Now());
  for (auto& reopener : reopener_) reopener->Tick();
}

StationSupervision::Port TForm1::SupervisedPort(PortId port, IndicatorId indicator) {
  return {&station_[Index(port)], port == PortId::Main ? kMainPortTag : kSecondPortTag,
          [this, indicator] { status_->Indicator(indicator).Redraw(); }};
}

}  // namespace vorel

namespace vorel {

void TForm1::ConnectProtocol7Handlers() {
  simpleTCPClient1_->OnConnected = [this](QObject*) { SimpleTCPClient1Connected(); };
  simpleTCPClient1_->OnDisconnected = [this](QObject*) { SimpleTCPClient1Disconnected(); };
  simpleTCPClient1_->OnRead = [this](QObject*, TMemoryStream* stream) { SimpleTCPClient1Read(stream); };
  // Failures are silent: the link falls back to idle and Timer3 retries.
  simpleTCPClient1_->OnError = [](QObject*, std::int32_t, std::int32_t, const std::string&) {};
}

void TForm1::SimpleTCPClient1Connected() {
  protocol7Up_ = true;
  status_->Indicator(IndicatorId::Protocol7).Redraw();
  SendProtocol7(p7::BuildHelloFrame());
  // A device name without a COM number (a path without trailing digits)
  // reports 0.
  SendProtocol7(p7::BuildPortNumberFrame(p7::ComPortNumber(commPortDriver1_->PortName()).value_or(0)));
}

void TForm1::SimpleTCPClient1Disconnected() {
  protocol7Up_ = false;
  status_->Indicator(IndicatorId::Protocol7).Redraw();
}

void TForm1::SimpleTCPClient1Read(TMemoryStream* Stream) {
  receiveBuffer_->Accept({Stream->Memory(), static_cast<std::size_t>(Stream->Size())});
}

void TForm1::Timer3Timer() {
  if (!simpleTCPClient1_->Connected()) simpleTCPClient1_->SetConnected(true);
}

void TForm1::SendProtocol7(const p7::Frame& frame) { protocol7Sender_->Send(frame); }

}  // namespace vorel

namespace vorel {

void TForm1::StartLink() {
  link_ = std::make_unique<cl>();
  guiHandOver_ = std::make_unique<GuiHandOver>(
      [this](std::function<void()> op) { QMetaObject::invokeMethod(this, std::move(op), Qt::QueuedConnection); },
      linkWindowSide_);
  LinkEnvironment environment;
  environment.handOver = guiHandOver_.get();
  environment.firstNumber = settings_.FirstNumber;
  link_->Start(std::move(environment));
}

// Neither thread waits on the other: the hand-over is closed first, so a link
// thread waiting for the GUI is released, then the thread is joined (at most
// one pass, every wait of which is bounded). The events still queued are in
// their spool files already and go with the next run's replay.
void TForm1::StopLink() {
  if (!link_) return;
  link_->RequestStop();
  guiHandOver_->Close();
  link_->Join();
  link_.reset();
}

// Also on standard error, where a service manager keeps it for whoever runs
// the driver without a window.
void TForm1::AddLogLine(const std::string& text) {
  const TDateTime now = clock_.Now();
  status_->AddLogLine(now, QString::fromStdString(text));
  WriteToStderr(StderrLogLine(now, text));
}

void TForm1::LinkWindowSide::AddLogLine(const std::string& text) {
  form_.AddLogLine(text);
}

void TForm1::LinkWindowSide::RefreshIndicator() { form_.status_->Indicator(IndicatorId::Protocol8).Refresh(); }

std::array<PortStatus, 2> TForm1::LinkWindowSide::PortStatuses() {
  return {PortStatus{form_.currentName_[0], form_.commPortDriver1_->IsOpen()},
          PortStatus{form_.currentName_[1], form_.commPortDriver2_->IsOpen()}};
}

}  // namespace vorel
