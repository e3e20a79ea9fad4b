// A close request from the message server (ftClose) or from the service
// manager (SIGTERM, SIGINT) ends the program whatever modal window of the
// program is open, with the real dialogs, offscreen. SIGTERM and SIGINT are
// raised in this process and reach the window through the program's own
// signal pipe.
#include <signal.h>

#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "app/termination_signals.h"
#include "app/vorel_application.h"
#include "main_window_fixture.h"
#include "p7/frame.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

struct Request {
  const char* name;
  std::function<void(StationRuntime&)> send;
};

const Request kRequests[] = {
    {"ftClose",
     [](StationRuntime& runtime) {
       const p7::Frame frame = p7::BuildCloseFrame();
       runtime.Core().Protocol7Read(Bytes(frame.begin(), frame.end()));
     }},
    {"SIGTERM", [](StationRuntime&) { raise(SIGTERM); }},
    {"SIGINT", [](StationRuntime&) { raise(SIGINT); }},
};

class CloseRequestTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    realDialogs_ = true;
    // A modal window that nothing closes would hang the test: every 3 s the
    // guard closes what is open and counts it.
    guard_.setInterval(3000);
    QObject::connect(&guard_, &QTimer::timeout, [this] {
      while (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        ++leftOpen_;
        dialog->reject();
      }
    });
    guard_.start();
  }
  void TearDown() override {
    guard_.stop();
    signals_.reset();
    MainWindowTest::TearDown();
  }

  // A fresh window with the main port COM3 running, wired to the
  // termination signals as the program is.
  TForm1& StartRunning() {
    form_.reset();
    signals_.reset();
    ended_ = 0;
    leftOpen_ = 0;
    ports_ = {};
    ports_.clock = &clock_;
    ports_.present = {"\\\\.\\COM3"};
    WriteIni("[port]\nComPort=COM3\n[main]\nSendMivo8=0\n");
    TForm1& form = Start();
    form.show();
    signals_ = std::make_unique<TerminationSignals>();
    QObject::connect(signals_.get(), &TerminationSignals::terminationRequested, &form,
                     [&form] { form.CloseWithoutPassword(); });
    return form;
  }

  // Runs `act` once the modal window titled `title` is on show.
  void WhenShown(const QString& title, std::function<void()> act) {
    auto* timer = new QTimer(form_.get());
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, title, act] {
      const QWidget* window = QApplication::activeModalWidget();
      if (!window || !window->isVisible() || window->windowTitle() != title) return;
      timer->stop();
      timer->deleteLater();
      act();
    });
    timer->start();
  }

  // The end as it must be: the program was let end once, the window is
  // closed, no modal window is left, and the main port is closed.
  void ExpectEnded(TForm1& form, const std::string& where) {
    EXPECT_TRUE(test::PumpUntil([&] { return ended_ > 0; }, std::chrono::seconds(5))) << where;
    EXPECT_EQ(ended_, 1) << where;
    EXPECT_EQ(leftOpen_, 0) << where << ": a dialog stayed open";
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << where;
    EXPECT_FALSE(form.isVisible()) << where;
    EXPECT_FALSE(Runtime().CommPortDriver1()->IsOpen()) << where;
    EXPECT_TRUE(errors_.empty()) << where;
  }

  QTimer guard_;
  int leftOpen_ = 0;
  std::unique_ptr<TerminationSignals> signals_;
};

TEST_F(CloseRequestTest, WhileTheClosePasswordIsAsked) {
  for (const Request& request : kRequests) {
    TForm1& form = StartRunning();
    WhenShown("Закрытый доступ", [&] { request.send(Runtime()); });
    EXPECT_TRUE(form.close()) << request.name << ": the close the operator began ends the program";
    ExpectEnded(form, request.name);
  }
}

TEST_F(CloseRequestTest, WhileAWrongClosePasswordIsReported) {
  for (const Request& request : kRequests) {
    TForm1& form = StartRunning();
    WhenShown("Закрытый доступ", [&] {
      QTest::keyClicks(passwordDialog_->Entry(), "1");
      QTest::mouseClick(passwordDialog_->OkButton(), Qt::LeftButton);
    });
    WhenShown("advsm", [&] {
      EXPECT_EQ(messageBox_->Label()->text(), "Не правильный пароль.");
      request.send(Runtime());
    });
    EXPECT_TRUE(form.close()) << request.name;
    ExpectEnded(form, request.name);
  }
}

TEST_F(CloseRequestTest, WhileAPortStopAsksThePassword) {
  for (const Request& request : kRequests) {
    TForm1& form = StartRunning();
    QTest::mouseClick(form.SetupButton(), Qt::LeftButton);
    PortPanel& panel = form.Ports()->Main();
    ASSERT_TRUE(panel.IsRunning());
    WhenShown("Закрытый доступ", [&] { request.send(Runtime()); });
    QTest::mouseClick(panel.StartStop(), Qt::LeftButton);
    ExpectEnded(form, request.name);
    EXPECT_TRUE(panel.IsRunning()) << request.name << ": the stop was not granted";
    EXPECT_NE(messageBox_->Label()->text(), kWrongPasswordMessage) << "no refusal on the way out";
  }
}

TEST_F(CloseRequestTest, WhileAPortThatDidNotStartIsReported) {
  for (const Request& request : kRequests) {
    TForm1& form = StartRunning();
    QTest::mouseClick(form.SetupButton(), Qt::LeftButton);
    PortPanel& panel = form.Ports()->Second();
    ASSERT_FALSE(panel.IsRunning());
    panel.List()->setEditText("COM9");  // no such device
    WhenShown("advsm", [&] {
      EXPECT_EQ(messageBox_->Label()->text(), kPortBusyMessage);
      request.send(Runtime());
    });
    const int probesBefore = ports_.openAttempts;
    QTest::mouseClick(panel.StartStop(), Qt::LeftButton);
    ExpectEnded(form, request.name);
    EXPECT_EQ(ports_.openAttempts, probesBefore + 1) << request.name << ": no rescan on the way out";
    EXPECT_EQ(test::ReadFile(kIniFileName), "[port]\nComPort=COM3\n[main]\nSendMivo8=0\n" + NoProtocol8Server());
  }
}

TEST_F(CloseRequestTest, WhileAnUncaughtErrorIsOnShow) {
  for (const Request& request : kRequests) {
    TForm1& form = StartRunning();
    WhenShown(kApplicationTitle, [&] { request.send(Runtime()); });
    ShowUncaughtError("Ошибка обработчика");  // the box opens from the event loop
    ExpectEnded(form, request.name);
  }
}

}  // namespace
}  // namespace vorel
