// Start-up and close of the main window with fake devices, a fake clock and
// scripted password answers.
#include <unistd.h>

#include <QDateTime>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "app/main_window.h"
#include "main_window_fixture.h"
#include "base/datetime_text.h"
#include "base/uncaught_error.h"
#include "p7/frame.h"
#include "support/fake_clock.h"
#include "support/fake_serial_ports.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

bool HasPixmap(QLabel* image) { return !image->pixmap().isNull(); }

TEST_F(MainWindowTest, WithoutConfigurationBothPortsStopAndTheStatusPageShows) {
  TForm1& form = Start();
  EXPECT_TRUE(errors_.empty());
  for (PortPanel* panel : {&form.Ports()->Main(), &form.Ports()->Second()}) {
    EXPECT_FALSE(panel->IsRunning());
    EXPECT_EQ(panel->StartStop()->text(), "Запустить");
    EXPECT_TRUE(panel->List()->isEnabled());
    EXPECT_TRUE(panel->Rescan()->isEnabled());
    EXPECT_EQ(panel->List()->count(), 0);
  }
  EXPECT_TRUE(ports_.log.empty()) << "COM255 means no port";
  EXPECT_TRUE(form.Status()->Protocol7Caption()->isHidden());
  EXPECT_TRUE(form.Status()->Image1()->isHidden());
  EXPECT_TRUE(HasPixmap(form.Status()->Image3())) << "protocol-8 indicator is drawn";
  EXPECT_TRUE(HasPixmap(form.Status()->Image2()));
  EXPECT_TRUE(HasPixmap(form.Status()->Image4()));
  EXPECT_EQ(form.Status()->Image2()->pixmap().toImage().pixel(8, 3), qRgb(255, 0, 0));

  const QString password = form.ClosePassword();
  EXPECT_EQ(password.size(), 5);
  EXPECT_EQ(form.Status()->Label13()->text(), password);
  EXPECT_EQ(form.Status()->Label10()->text(), "10.12.2026 12:00:00");
  EXPECT_EQ(form.Pages()->currentWidget(), form.Status());
  EXPECT_TRUE(form.StatusButton()->isChecked());
  EXPECT_FALSE(form.SetupButton()->isChecked());
  EXPECT_DOUBLE_EQ(Runtime().Core().StationLink(PortId::Main).lastFrameTime, 46365.5);
  EXPECT_FALSE(Runtime().Core().StationLink(PortId::Second).linkUp);
}

TEST_F(MainWindowTest, ProtocolRowsFollowTheOutputSwitches) {
  WriteIni("[main]\r\nSendMivo7=1\r\nSendMivo8=0\r\nhost=" + OwnAddress() + "\r\n");
  TForm1& form = Start();
  EXPECT_FALSE(form.Status()->Protocol7Caption()->isHidden());
  EXPECT_FALSE(form.Status()->Image1()->isHidden());
  EXPECT_FALSE(HasPixmap(form.Status()->Image3())) << "no link object, no drawing";
  EXPECT_EQ(Runtime().Core().Link(), nullptr);
}

// A protocol-7 attempt that fails at once (a multicast address is refused
// before any packet leaves: ENETUNREACH, as with a network not up yet) must
// neither show an error nor cut the start-up short.
TEST_F(MainWindowTest, AProtocol7AttemptThatFailsAtOnceLeavesTheStartUpWhole) {
  WriteIni("[main]\nSendMivo7=1\nhost=224.0.0.1\n" + NoProtocol8Server());
  TForm1& form = Start();
  EXPECT_TRUE(errors_.empty()) << errors_.front();
  EXPECT_TRUE(dialogs_.messages.empty());
  EXPECT_FALSE(Runtime().Core().Protocol7Up());
  ASSERT_NE(Runtime().Core().Link(), nullptr) << "the protocol-8 start-up ran";
  EXPECT_FALSE(form.Status()->Protocol7Caption()->isHidden());
  EXPECT_EQ(form.Status()->Label10()->text(), "10.12.2026 12:00:00");
  EXPECT_EQ(form.Pages()->currentWidget(), form.Status());
}

// The window never stops the link thread itself: an accepted close runs the
// station's close, which stops the thread and waits for it.
TEST_F(MainWindowTest, LinkObjectExistsWithProtocol8AndIsStoppedByTheStationsClose) {
  TForm1& form = Start();
  ASSERT_NE(Runtime().Core().Link(), nullptr);
  EXPECT_TRUE(Runtime().Core().Link()->LinkEnabled());
  Runtime().Core().Link()->SetLinkUp(true);  // as the link thread reports it
  form.Status()->Indicator(IndicatorId::Protocol8).Redraw();
  EXPECT_EQ(form.Status()->Image3()->pixmap().toImage().pixel(8, 3), qRgb(0, 128, 0));

  dialogs_.answers = {PasswordOutcome::Wrong};
  EXPECT_FALSE(form.close());
  ASSERT_NE(Runtime().Core().Link(), nullptr) << "a refused close leaves the link running";
  EXPECT_FALSE(Runtime().Core().Link()->StopRequested());
  EXPECT_FALSE(Runtime().Core().Closed());

  dialogs_.answers = {PasswordOutcome::Accepted};
  EXPECT_TRUE(form.close());
  EXPECT_TRUE(Runtime().Core().Closed());
  EXPECT_EQ(Runtime().Core().Link(), nullptr) << "the link thread has ended";
}

TEST_F(MainWindowTest, ServerFramesSetTheClockAndCloseWithoutPassword) {
  Start();
  const p7::Frame clock = p7::BuildSetClockFrame(46366.75);
  const p7::Frame close = p7::BuildCloseFrame();
  Bytes block(close.begin(), close.end());  // close first: the clock frame after it still acts
  block.insert(block.end(), clock.begin(), clock.end());
  Runtime().Core().Protocol7Read(block);
  EXPECT_EQ(ended_, 1);
  EXPECT_TRUE(dialogs_.asked.empty());
  EXPECT_EQ(clockSetter_.requested, std::vector<TDateTime>{46366.75});
}

// The service manager hears STOPPING=1, and the journal why, as the close
// begins: before the main port closes, once per end, for each way to end.
TEST_F(MainWindowTest, TheEndIsToldWithItsReasonBeforeThePortsClose) {
  struct Case {
    const char* how;
    std::function<void(TForm1&)> end;
    CloseReason reason;
  };
  const Case cases[] = {
      {"server",
       [this](TForm1&) {
         const p7::Frame close = p7::BuildCloseFrame();
         Runtime().Core().Protocol7Read(Bytes(close.begin(), close.end()));
       },
       CloseReason::Server},
      {"SIGTERM", [](TForm1& f) { f.CloseWithoutPassword(CloseReason::Terminate); }, CloseReason::Terminate},
      {"SIGINT", [](TForm1& f) { f.CloseWithoutPassword(CloseReason::Interrupt); }, CloseReason::Interrupt},
      {"operator", [this](TForm1& f) {
         dialogs_.answers = {PasswordOutcome::Wrong, PasswordOutcome::Accepted};
         f.close();  // refused: no end begins
         f.close();
       },
       CloseReason::Operator},
  };
  for (const Case& c : cases) {
    form_.reset();
    closings_.clear();
    ports_ = {};
    ports_.clock = &clock_;
    ports_.present = {"\\\\.\\COM3"};
    WriteIni("[port]\nComPort=COM3\n");
    TForm1& form = Start();
    ASSERT_TRUE(Runtime().CommPortDriver1()->IsOpen());
    c.end(form);
    form.CloseWithoutPassword(CloseReason::Terminate);  // a signal during the close
    EXPECT_EQ(closings_, (std::vector<std::pair<CloseReason, bool>>{{c.reason, true}})) << c.how;
    EXPECT_FALSE(Runtime().CommPortDriver1()->IsOpen()) << c.how;
  }
}

TEST_F(MainWindowTest, ConfiguredPortOpensWithDtrRtsPulse) {
  WriteIni("[port]\nComPort=COM3\nBaudRate=19200\nDTR=0\n[portUSB]\nComPort=/dev/ttyUSB1\n");
  ports_.present = {"\\\\.\\COM3", "\\\\.\\/dev/ttyUSB1"};
  TForm1& form = Start();
  // The 300-ms pulses are timers (the fake clock stands still meanwhile): both
  // ports open at once, and DTR goes up again once each pulse is over.
  std::vector<std::string> expected = {
      "@5000 open \\\\.\\COM3",          "@5000 DTR 0", "@5000 RTS 0",
      "@5000 open \\\\.\\/dev/ttyUSB1", "@5000 DTR 0", "@5000 RTS 0",
  };
  EXPECT_EQ(ports_.log, expected);
  EXPECT_TRUE(test::PumpUntil([&] { return ports_.log.size() == 8; }));
  expected.insert(expected.end(), {"@5000 DTR 1", "@5000 DTR 1"});
  EXPECT_EQ(ports_.log, expected);
  EXPECT_EQ(Runtime().CommPortDriver1()->BaudRate(), br19200);
  EXPECT_EQ(Runtime().CommPortDriver2()->BaudRate(), br9600);
  for (PortPanel* panel : {&form.Ports()->Main(), &form.Ports()->Second()}) {
    EXPECT_TRUE(panel->IsRunning());
    EXPECT_FALSE(panel->List()->isEnabled());
    EXPECT_FALSE(panel->Rescan()->isEnabled());
  }
  EXPECT_EQ(form.Ports()->Main().List()->currentText(), "COM3");
}

TEST_F(MainWindowTest, BusyOrMissingPortStopsItsPanelSilently) {
  WriteIni("[port]\nComPort=COM3\n[portUSB]\nComPort=COM4\n");
  ports_.present = {"\\\\.\\COM3"};
  ports_.held = {"\\\\.\\COM3"};  // another program has it
  TForm1& form = Start();
  EXPECT_TRUE(ports_.log.empty());
  EXPECT_FALSE(form.Ports()->Main().IsRunning());
  EXPECT_EQ(form.Ports()->Main().List()->currentText(), "COM3");
  EXPECT_EQ(form.Ports()->Second().List()->currentText(), "COM4");
  EXPECT_TRUE(dialogs_.messages.empty());
  EXPECT_TRUE(errors_.empty());
}

TEST_F(MainWindowTest, InvalidAttentionStopsStartUpAfterReportingIt) {
  WriteIni("[port]\nComPort=COM3\n[main]\nAttention=25:00:00\n");
  ports_.present = {"\\\\.\\COM3"};
  TForm1& form = Start();
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], "'25:00:00' is not a valid time");
  EXPECT_TRUE(ports_.log.empty()) << "no port is opened";
  EXPECT_EQ(form.Pages()->currentWidget(), form.Ports());
  EXPECT_TRUE(form.Ports()->Main().IsRunning()) << "panels keep their first state";
  EXPECT_TRUE(form.Ports()->Second().IsRunning());
  EXPECT_TRUE(form.Status()->Label10()->text().isEmpty());
  EXPECT_FALSE(HasPixmap(form.Status()->Image3()));
  EXPECT_EQ(form.Status()->Label13()->text().size(), 5) << "the password comes before the settings";
}

TEST_F(MainWindowTest, CloseSequenceOutcomes) {
  WriteIni("[port]\nComPort=COM3\n[portUSB]\nComPort=COM4\n");
  ports_.present = {"\\\\.\\COM3", "\\\\.\\COM4"};
  TForm1& form = Start();
  form.show();
  ports_.log.clear();

  dialogs_.answers = {PasswordOutcome::Wrong, PasswordOutcome::Cancelled, PasswordOutcome::Accepted};
  EXPECT_FALSE(form.close());
  EXPECT_EQ(dialogs_.messages, std::vector<QString>{"Не правильный пароль."});
  EXPECT_FALSE(form.close());
  EXPECT_EQ(dialogs_.messages.size(), 1u) << "cancel shows nothing";
  EXPECT_EQ(ended_, 0);
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(Runtime().CommPortDriver1()->IsOpen());

  EXPECT_TRUE(form.close());
  EXPECT_EQ(ended_, 1);
  EXPECT_EQ(dialogs_.asked, std::vector<QString>(3, form.ClosePassword()));
  EXPECT_FALSE(Runtime().CommPortDriver1()->IsOpen());
  EXPECT_FALSE(Runtime().CommPortDriver2()->IsOpen()) << "the station's close, as the program ends";
}

TEST_F(MainWindowTest, CloseWithoutPasswordAsksNothingEvenWhenHidden) {
  WriteIni("[port]\nComPort=COM3\n");
  ports_.present = {"\\\\.\\COM3"};
  TForm1& form = Start();
  form.hide();
  form.CloseWithoutPassword();
  EXPECT_TRUE(dialogs_.asked.empty());
  EXPECT_EQ(ended_, 1);
  EXPECT_FALSE(Runtime().CommPortDriver1()->IsOpen());
}

TEST_F(MainWindowTest, TimeSinceLastFrameCountsFromStartUp) {
  TForm1& form = Start();
  EXPECT_EQ(form.Status()->Label16()->text(), "Время с последнего сообщения");
  clock_.Advance(65'000);
  QTRY_COMPARE_WITH_TIMEOUT(form.Status()->Label16()->text(), QString("00:01:05"), 2000);
}

TEST_F(MainWindowTest, PageButtonsWorkAsAPair) {
  TForm1& form = Start();
  QTest::mouseClick(form.SetupButton(), Qt::LeftButton);
  EXPECT_EQ(form.Pages()->currentWidget(), form.Ports());
  EXPECT_FALSE(form.StatusButton()->isChecked());
  QTest::mouseClick(form.SetupButton(), Qt::LeftButton);
  EXPECT_EQ(form.Pages()->currentWidget(), form.Ports()) << "its own button leaves the page on show";
  EXPECT_TRUE(form.SetupButton()->isChecked());
  QTest::mouseClick(form.StatusButton(), Qt::LeftButton);
  EXPECT_EQ(form.Pages()->currentWidget(), form.Status());
}

TEST_F(MainWindowTest, MinimiseWithoutTrayStaysOnTheTaskbarAndRestores) {
  TForm1& form = Start();
  form.show();
  form.showMinimized();
  QCoreApplication::processEvents();
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    EXPECT_TRUE(form.isVisible()) << "never an invisible program";
  }
  form.RestoreAction()->trigger();
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.isMinimized());
  if (form.Tray()) {
    EXPECT_EQ(form.Tray()->toolTip(), "Драйвер - VOREL");
    EXPECT_EQ(form.Tray()->contextMenu(), form.TrayMenu());
  }
  const auto actions = form.TrayMenu()->actions();
  ASSERT_EQ(actions.size(), 3);
  EXPECT_EQ(actions[0]->text(), "Восстановить");
  EXPECT_TRUE(actions[1]->isSeparator());
  EXPECT_EQ(actions[2]->text(), "Закрыть");
}

// Offscreen there is no tray: no icon, and none of Qt's warnings about it
// in the service's journal at every start.
TEST_F(MainWindowTest, NoTrayIconAndNoWarningWhereNoTrayCanBe) {
  static QStringList warnings;
  warnings.clear();
  const QtMessageHandler previous = qInstallMessageHandler(
      [](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg) warnings << text;
      });
  TForm1& form = Start();
  form.show();
  QCoreApplication::processEvents();
  qInstallMessageHandler(previous);
  ASSERT_EQ(QGuiApplication::platformName(), "offscreen");
  EXPECT_EQ(form.Tray(), nullptr);
  EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
}

// What the process writes to standard error while it lives.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    const int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(file, STDERR_FILENO);
    close(file);
  }
  ~StderrCapture() {
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  std::string Text() const { return test::ReadFile(path_); }

 private:
  test::TempDir dir_;
  std::filesystem::path path_ = dir_ / "stderr.txt";
  int saved_ = -1;
};

TEST_F(MainWindowTest, EveryLogLineAlsoGoesToStandardError) {
  WriteIni("[port]\nComPort=COM3\n");  // the protocol-8 link logs its attempts
  ports_.present = {"\\\\.\\COM3"};
  StderrCapture capture;
  TForm1& form = Start();
  ports_.present.clear();  // the adapter is pulled out, which is logged too
  // Two lines: the lost adapter and the protocol-8 link's attempt, in either order.
  ASSERT_TRUE(test::PumpUntil([&] {
    const QString text = form.Status()->Memo1()->toPlainText();
    return text.contains("потерян") && text.count('\n') >= 1;
  }));
  const std::string err = capture.Text();
  const QStringList memo = form.Status()->Memo1()->toPlainText().split('\n');
  ASSERT_GE(memo.size(), 2);
  for (const QString& line : memo) {
    // "10.12.2026 12:00:00 <text>" in the memo
    const QString time = QDateTime::fromString(line.left(19), "dd.MM.yyyy HH:mm:ss").toString(Qt::ISODate);
    const std::string expected = "vorel: log: " + time.toStdString() + " " + line.mid(20).toStdString() + "\n";
    EXPECT_NE(err.find(expected), std::string::npos) << expected << " in\n" << err;
  }
}

TEST_F(MainWindowTest, TheStatusFileTellsPortsLinksAndTheEnd) {
  WriteIni("[port]\nComPort=COM3\n[portUSB]\nComPort=COM4\n[main]\nSendMivo7=1\nhost=" + OwnAddress() + "\n" +
           NoProtocol8Server());
  ports_.present = {"\\\\.\\COM3"};
  Start();
  // Until the first attempts end (refused) the links may read connecting.
  ASSERT_TRUE(test::PumpUntil([] {
    return std::filesystem::exists(kStatusFileName) &&
           test::ReadFile(kStatusFileName).find("connecting") == std::string::npos;
  }));
  const std::string running = test::ReadFile(kStatusFileName);
  for (const char* line : {"state=running\n", "started=2026-12-10T12:00:00\n", "main.port=COM3\n", "main.open=yes\n",
                           "main.station=down\n", "second.port=COM4\n", "second.open=no\n", "protocol7=down\n",
                           "protocol8=down\n", "main.last_frame=none\n", "spool.ddm=0\n", "spool.dd8=0\n"}) {
    EXPECT_NE(running.find(line), std::string::npos) << line << " in\n" << running;
  }
  EXPECT_NE(running.find("pid=" + std::to_string(getpid()) + "\n"), std::string::npos);

  test::WriteFile("2DC06B63.dd8", "waiting from an earlier run");
  EndProgram();
  const std::string ended = test::ReadFile(kStatusFileName);
  EXPECT_EQ(ended.find("state=stopped\n"), 0u) << ended;
  EXPECT_NE(ended.find("spool.dd8=1\n"), std::string::npos) << ended;
  EXPECT_EQ(ended.find(".open="), std::string::npos) << ended;
}

}  // namespace
}  // namespace vorel
