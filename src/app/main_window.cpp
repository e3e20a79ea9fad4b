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
#include "base/uncaught_error.h"
#include "station/station_ports.h"

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
  station_ = std::make_unique<vorel::Station>(
      settings_,
      StationParts{commPortDriver1_, commPortDriver2_, simpleTCPClient1_, &clock_, services_.clockSetter},
      stationWindowSide_);
  BuildWindow();
  BuildTray();
  BuildPortControls();

  startedAt_ = clock_.Now();
  if (!qEnvironmentVariableIsEmpty("VOREL_STALL_PROBE")) stallProbe_ = std::make_unique<StallProbe>(this);
  statusFile_ = std::make_unique<StatusFile>(services_.statusFile, clock_, [](const std::string& problem) {
    WriteToStderr(Severity::Error, "vorel: " + problem + "\n");
  });
  timer2_.setInterval(200);
  connect(&timer2_, &QTimer::timeout, this, [this] {
    RunGuarded([this] { Timer2Timer(); });
    RunGuarded([this] {
      statusFile_->Tick([this] {
        const ProgramStatus status = CurrentStatus(true);
        if (services_.statusChanged) services_.statusChanged(StatusSummary(status));
        for (const auto& [severity, line] : linkChanges_.Look(status)) WriteToStderr(severity, line);
        return status;
      });
    });
  });
  timer3_.setInterval(3000);
  connect(&timer3_, &QTimer::timeout, this, [this] { RunGuarded([this] { Timer3Timer(); }); });
  timer2_.start();
  timer3_.start();

  simpleTCPClient1_->SetPort(7788);
  // The handlers first: the start-up's first protocol-7 attempt can fail at
  // once (a host that does not resolve, a network not up yet), and its
  // failure must find the silent error handler, not end the start-up.
  ConnectStationHandlers();
  // An error here is reported like any other, and the window still opens.
  RunGuarded([this] { StartUp(); });
  // A start-up cut short by an error: the event path is made from whatever
  // settings it got to read.
  if (!station_->EventPathBuilt()) station_->BuildEventPath();
}

void TForm1::ConnectStationHandlers() {
  commPortDriver1_->OnReceivePacket = [this](TCommPortDriver* sender, const std::uint8_t* packet, std::uint32_t size) {
    CommPortDriver1ReceivePacket(sender, packet, size);
  };
  commPortDriver2_->OnReceivePacket = [this](TCommPortDriver* sender, const std::uint8_t* packet, std::uint32_t size) {
    CommPortDriver2ReceivePacket(sender, packet, size);
  };
  // A port whose device went away is opened again by the driver itself.
  commPortDriver1_->OnDeviceLost = [this](TCommPortDriver*) { station_->PortLost(PortId::Main); };
  commPortDriver2_->OnDeviceLost = [this](TCommPortDriver*) { station_->PortLost(PortId::Second); };
  simpleTCPClient1_->OnConnected = [this](QObject*) { SimpleTCPClient1Connected(); };
  simpleTCPClient1_->OnDisconnected = [this](QObject*) { SimpleTCPClient1Disconnected(); };
  simpleTCPClient1_->OnRead = [this](QObject*, TMemoryStream* stream) { SimpleTCPClient1Read(stream); };
  // Failures are silent: the link falls back to idle and Timer3 retries.
  simpleTCPClient1_->OnError = [](QObject*, std::int32_t, std::int32_t, const std::string&) {};
}

void TForm1::BuildPortControls() {
  const auto make = [this](PortId port, PortPanel& panel, TCommPortDriver& driver) {
    PortControl::Wiring wiring;
    wiring.port = port;
    wiring.panel = &panel;
    wiring.driver = &driver;
    wiring.settings = &settings_.Port(port);
    wiring.setCurrentName = [this, port](const std::string& name) { station_->SetCurrentName(port, name); };
    wiring.setWanted = [this, port](bool wanted) { station_->SetPortWanted(port, wanted); };
    wiring.dialogs = services_.dialogs;
    wiring.closePassword = &closePassword_;
    wiring.reportPortStatus = [this] { station_->EnqueuePortStatus(); };
    wiring.ending = [this] { return closeWithoutPassword_; };
    wiring.deviceRoots = services_.serialDevices;
    if (port == PortId::Main)
      wiring.sendPortNumber = [this](int number) { station_->SendProtocol7(p7::BuildPortNumberFrame(number)); };
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

void TForm1::Timer2Timer() {
  station_->Tick();
  // A port the core opened by itself (one that did not open at start and
  // came later) shows running, as if the operator had started it.
  for (const PortId port : {PortId::Main, PortId::Second}) {
    PortPanel& panel = port == PortId::Main ? ports_->Main() : ports_->Second();
    if (station_->PortWanted(port) && !panel.IsRunning()) panel.SetRunning();
  }
}

void TForm1::CommPortDriver1ReceivePacket(TCommPortDriver*, const std::uint8_t* Packet, std::uint32_t DataSize) {
  station_->ReceivePacket(PortId::Main, {Packet, DataSize});
}

void TForm1::CommPortDriver2ReceivePacket(TCommPortDriver*, const std::uint8_t* Packet, std::uint32_t DataSize) {
  station_->ReceivePacket(PortId::Second, {Packet, DataSize});
}

void TForm1::SimpleTCPClient1Read(TMemoryStream* Stream) {
  station_->Protocol7Read({Stream->Memory(), static_cast<std::size_t>(Stream->Size())});
}

TForm1::~TForm1() {
  station_->Close();
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
  // The last status of a run reads the spool directory itself.
  static_cast<StationStatus&>(s) = station_->Status(!running);
  s.running = running;
  s.pid = QCoreApplication::applicationPid();
  s.started = startedAt_;
  s.ddmOldestAge = SpoolFileAge(s.ddmNext);
  s.dd8OldestAge = SpoolFileAge(s.dd8Next);
  if (stallProbe_) s.longestStallMs = stallProbe_->LongestMs();
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
      [this] { return station_->StationLink(PortId::Main).linkUp; },
      [this] { return station_->StationLink(PortId::Second).linkUp; },
      [this] { return station_->Protocol8Up(); },
      [this] { return station_->Protocol7Up(); },
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
  closeWithoutPassword_ = false;
  status_->Indicator(IndicatorId::Port1).Redraw();
  status_->Indicator(IndicatorId::Port2).Redraw();

  const TDateTime now = clock_.Now();
  const auto seed = static_cast<std::uint32_t>(clock_.TickCount()) ^
                    static_cast<std::uint32_t>(RoundToMsecs(now).value_or(0));
  closePassword_ = QString::fromStdString(MakeClosePassword(seed));
  status_->ShowPassword(closePassword_);
  ports_->Main().List()->clear();

  // The link thread's hand-over runs on this window's event loop.
  const Station::StartUpResult started = station_->StartUp(
      kIniFileName,
      [this](std::function<void()> op) { QMetaObject::invokeMethod(this, std::move(op), Qt::QueuedConnection); });
  for (const PortId port : {PortId::Main, PortId::Second}) {
    PortPanel& panel = port == PortId::Main ? ports_->Main() : ports_->Second();
    const std::string& configured = settings_.Port(port).ComPort;
    if (configured != kNoPortName) panel.List()->setEditText(QString::fromStdString(configured));
    if (!started.portOpen[port == PortId::Main ? 0 : 1]) panel.SetStopped();
  }
  status_->SetProtocol7RowVisible(settings_.SendMivo7);
  if (settings_.SendMivo8) status_->Indicator(IndicatorId::Protocol8).Redraw();

  startedAt_ = started.startedAt;
  status_->ShowStartTime(startedAt_);
  ShowStatusPage();
}

void TForm1::CloseWithoutPassword(CloseReason reason) {
  if (!closeWithoutPassword_) closeReason_ = reason;
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
  BeginEnd(CloseReason::Operator);
  if (commPortDriver1_->IsOpen()) commPortDriver1_->Close();
  // The link thread ends by itself after its current pass.
  if (settings_.SendMivo8 && station_->Link()) station_->Link()->RequestStop();
  return true;
}

void TForm1::BeginEnd(CloseReason reason) {
  if (endBegun_) return;
  endBegun_ = true;
  if (services_.closing) services_.closing(reason);
}

bool TForm1::CloseMainPortForEnd() {
  BeginEnd(closeReason_);
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

}  // namespace vorel

namespace vorel {

// Also on standard error, where a service manager keeps it for whoever runs
// the driver without a window.
void TForm1::AddLogLine(Severity severity, const std::string& text) {
  const TDateTime now = clock_.Now();
  status_->AddLogLine(now, QString::fromStdString(text));
  WriteToStderr(severity, StderrLogLine(now, text));
}

namespace {

IndicatorId IndicatorOf(StationIndicator indicator) {
  switch (indicator) {
    case StationIndicator::Port1: return IndicatorId::Port1;
    case StationIndicator::Port2: return IndicatorId::Port2;
    case StationIndicator::Protocol8: return IndicatorId::Protocol8;
    case StationIndicator::Protocol7: return IndicatorId::Protocol7;
  }
  return IndicatorId::Port1;
}

}  // namespace

void TForm1::StationWindowSide::RefreshIndicator(StationIndicator indicator) {
  form_.status_->Indicator(IndicatorOf(indicator)).Refresh();
}

void TForm1::StationWindowSide::RedrawIndicator(StationIndicator indicator) {
  form_.status_->Indicator(IndicatorOf(indicator)).Redraw();
}

void TForm1::StationWindowSide::ShowTimeSinceLastFrame(TDateTime now, TDateTime lastFrame) {
  form_.status_->ShowTimeSinceLastFrame(now, lastFrame);
}

void TForm1::StationWindowSide::LogError(int code) { vorel::LogError(code); }

void TForm1::StationWindowSide::ReportSpoolLoss(const std::string& loss) {
  form_.AddLogLine(Severity::Warning, SpoolLossLine(loss));
}

}  // namespace vorel
