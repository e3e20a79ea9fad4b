#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QScreen>
#include <QTimer>

#include <utility>

#include "app/artwork.h"
#include "app/close_password.h"
#include "app/error_log.h"
#include "app/operator_log.h"
#include "base/uncaught_error.h"

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

TForm1::TForm1(StationRuntime& runtime, ShellServices services, QWidget* parent)
    : QWidget(parent),
      runtime_(runtime),
      station_(runtime.Core()),
      services_(std::move(services)),
      clock_(runtime.Clock()),
      settings_(runtime.CurrentSettings()) {
  setWindowTitle(kApplicationTitle);
  setFixedSize(kClientWidth, kClientHeight);
  // The layout is in fixed pixels, made for a small, narrow dialog font.
  QFont small("DejaVu Sans Condensed");
  small.setPixelSize(11);
  setFont(small);
  BuildWindow();
  BuildTray();
  BuildPortControls();
  ConnectRuntimeSignals();
  // An error here is reported like any other, and the window still opens.
  RunGuarded([this] { StartUp(); });
}

TForm1::~TForm1() = default;

void TForm1::ConnectRuntimeSignals() {
  connect(&runtime_, &StationRuntime::indicatorRefreshed, this,
          [this](StationIndicator indicator) { IndicatorOf(indicator).Refresh(); });
  connect(&runtime_, &StationRuntime::indicatorRedrawn, this,
          [this](StationIndicator indicator) { IndicatorOf(indicator).Redraw(); });
  connect(&runtime_, &StationRuntime::logLineAdded, this,
          [this](Severity severity, const std::string& text) { AddLogLine(severity, text); });
  connect(&runtime_, &StationRuntime::timeSinceLastFrameShown, this,
          [this](TDateTime now, TDateTime lastFrame) { status_->ShowTimeSinceLastFrame(now, lastFrame); });
  connect(&runtime_, &StationRuntime::errorLogged, this, [](int code) { LogError(code); });
  connect(&runtime_, &StationRuntime::spoolLossReported, this,
          [this](const std::string& loss) { AddLogLine(Severity::Warning, SpoolLossLine(loss)); });
  connect(&runtime_, &StationRuntime::closeRequested, this, [this] { CloseWithoutPassword(CloseReason::Server); });
  connect(&runtime_, &StationRuntime::ticked, this, [this] { RunGuarded([this] { ShowPortsRunning(); }); });
}

void TForm1::BuildPortControls() {
  const auto make = [this](PortId port, PortPanel& panel) {
    PortControl::Wiring wiring;
    wiring.port = port;
    wiring.panel = &panel;
    wiring.station = &station_;
    wiring.dialogs = services_.dialogs;
    wiring.closePassword = &closePassword_;
    wiring.ending = [this] { return closeWithoutPassword_; };
    wiring.deviceRoots = services_.serialDevices;
    return std::make_unique<PortControl>(std::move(wiring));
  };
  portControl_[0] = make(PortId::Main, ports_->Main());
  portControl_[1] = make(PortId::Second, ports_->Second());

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

void TForm1::ShowPortsRunning() {
  // A port the core opened by itself (one that did not open at start and
  // came later) shows running, as if the operator had started it.
  for (const PortId port : {PortId::Main, PortId::Second}) {
    PortPanel& panel = port == PortId::Main ? ports_->Main() : ports_->Second();
    if (station_.PortWanted(port) && !panel.IsRunning()) panel.SetRunning();
  }
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
      [this] { return station_.StationLink(PortId::Main).linkUp; },
      [this] { return station_.StationLink(PortId::Second).linkUp; },
      [this] { return station_.Protocol8Up(); },
      [this] { return station_.Protocol7Up(); },
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

  const Station::StartUpResult started = runtime_.StartUp(kIniFileName);
  for (const PortId port : {PortId::Main, PortId::Second}) {
    PortPanel& panel = port == PortId::Main ? ports_->Main() : ports_->Second();
    const std::string& configured = settings_.Port(port).ComPort;
    if (configured != kNoPortName) panel.List()->setEditText(QString::fromStdString(configured));
    if (!started.portOpen[port == PortId::Main ? 0 : 1]) panel.SetStopped();
  }
  status_->SetProtocol7RowVisible(settings_.SendMivo7);
  if (settings_.SendMivo8) status_->Indicator(IndicatorId::Protocol8).Redraw();

  status_->ShowStartTime(started.startedAt);
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
  if (closeWithoutPassword_) return End(closeReason_);
  if (closeSequenceRunning_) return false;  // a request while the password is being asked
  closeSequenceRunning_ = true;
  const PasswordOutcome outcome = services_.dialogs->AskClosePassword(closePassword_);
  if (outcome == PasswordOutcome::Wrong && !closeWithoutPassword_)
    services_.dialogs->ShowMessage("Не правильный пароль.");
  closeSequenceRunning_ = false;
  // The server's close command or a signal came while a dialog was open.
  if (closeWithoutPassword_) return End(closeReason_);
  if (outcome != PasswordOutcome::Accepted) return false;
  return End(CloseReason::Operator);
}

bool TForm1::End(CloseReason reason) {
  if (!endBegun_) {
    endBegun_ = true;
    if (services_.closing) services_.closing(reason);
  }
  // The ports, the protocol-7 socket and the link thread: the station's own
  // close, whatever its steps say.
  runtime_.Close();
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

LinkIndicator& TForm1::IndicatorOf(StationIndicator indicator) {
  switch (indicator) {
    case StationIndicator::Port1: return status_->Indicator(IndicatorId::Port1);
    case StationIndicator::Port2: return status_->Indicator(IndicatorId::Port2);
    case StationIndicator::Protocol8: return status_->Indicator(IndicatorId::Protocol8);
    case StationIndicator::Protocol7: return status_->Indicator(IndicatorId::Protocol7);
  }
  return status_->Indicator(IndicatorId::Port1);
}

}  // namespace vorel
