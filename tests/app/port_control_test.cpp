// The port page as the operator uses it: clicks on Start/Stop and rescan,
// entries picked in the list, with fake devices where the exact line
// sequence matters and pseudo-terminals published as COM ports where the
// real opening, holding and probing do.
#include <sys/file.h>
#include <unistd.h>

#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "app/port_control.h"
#include "base/cp1251.h"
#include "main_window_fixture.h"
#include "p7/frame.h"
#include "p8/record.h"
#include "p8/record_types.h"
#include "support/loopback.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;


struct PortStatusBytes {
  std::string mainName;
  int mainOpen;
  std::string secondName;
  int secondOpen;
  bool operator==(const PortStatusBytes&) const = default;
};

std::ostream& operator<<(std::ostream& out, const PortStatusBytes& s) {
  return out << s.mainName << "/" << s.mainOpen << " " << s.secondName << "/" << s.secondOpen;
}

class PortControlTest : public MainWindowTest {
 protected:
  // The link thread finds no server (connection refused), so whatever the
  // panel queues stays in the queue for the test to read.
  TForm1& StartWith(const std::string& ini) {
    WriteIni(ini + NoProtocol8Server());
    TForm1& form = Start();
    QTest::mouseClick(form.SetupButton(), Qt::LeftButton);
    return form;
  }

  static void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

  // The port-status records queued since the last call, decoded; checks the
  // fixed layout of each: a length byte and six name bytes per port, then
  // its open byte.
  std::vector<PortStatusBytes> TakePortStatuses() {
    std::vector<PortStatusBytes> statuses;
    cl* link = Runtime().Core().Link();
    if (!link) return statuses;
    Bytes record;
    while (link->Peek(record)) {
      link->DropHead();
      const auto parsed = ParseRecord(record);
      if (!parsed || parsed->header.recordType != rtPortStatus) {
        ADD_FAILURE() << "unexpected record in the queue";
        continue;
      }
      const auto& p = parsed->payload;
      if (p.size() != 16 || p[0] > 6 || p[8] > 6) {
        ADD_FAILURE() << "bad port-status layout";
        continue;
      }
      statuses.push_back({std::string(p.begin() + 1, p.begin() + 1 + p[0]), p[7],
                          std::string(p.begin() + 9, p.begin() + 9 + p[8]), p[15]});
    }
    return statuses;
  }

  std::string Ini() const { return test::ReadFile(fs::path(kIniFileName)); }
};

TEST_F(PortControlTest, StopNeedsTheClosePassword) {
  const struct {
    PasswordOutcome answer;
    bool stops;
  } cases[] = {{PasswordOutcome::Accepted, true}, {PasswordOutcome::Wrong, false}, {PasswordOutcome::Cancelled, false}};
  for (const auto& c : cases) {
    form_.reset();
    ports_ = {};
    ports_.clock = &clock_;
    ports_.present = {"\\\\.\\COM3", "\\\\.\\COM4"};
    dialogs_ = {};
    TForm1& form = StartWith("[port]\nComPort=COM3\n[portUSB]\nComPort=COM4\n");
    PortPanel& panel = form.Ports()->Second();
    ASSERT_TRUE(panel.IsRunning());
    dialogs_.answers = {c.answer};
    Click(panel.StartStop());

    EXPECT_EQ(dialogs_.asked, std::vector<QString>{form.ClosePassword()});
    EXPECT_EQ(Runtime().CommPortDriver2()->IsOpen(), !c.stops);
    EXPECT_EQ(panel.IsRunning(), !c.stops);
    EXPECT_EQ(panel.StartStop()->text(), c.stops ? "Запустить" : "Остановить");
    EXPECT_EQ(panel.List()->isEnabled(), c.stops);
    EXPECT_EQ(panel.Rescan()->isEnabled(), c.stops);
    EXPECT_EQ(dialogs_.messages,
              c.stops ? std::vector<QString>{} : std::vector<QString>{"Неправильный пароль. В доступе отказано"});
    EXPECT_TRUE(Runtime().CommPortDriver1()->IsOpen()) << "the other port is not touched";
    // A refused stop reports the ports too.
    EXPECT_EQ(TakePortStatuses(), (std::vector<PortStatusBytes>{{"COM3", 1, "COM4", c.stops ? 0 : 1}}));
  }
}

TEST_F(PortControlTest, StartRaisesDtrThenTakesThePortsSetting) {
  for (const char* dtr : {"0", "1"}) {
    form_.reset();
    ports_ = {};
    ports_.clock = &clock_;
    ports_.present = {"\\\\.\\COM3", "\\\\.\\COM6"};
    TForm1& form = StartWith(std::string("[port]\nComPort=COM9\n[portUSB]\nComPort=COM9\nDTR=") + dtr + "\n");
    PortPanel& panel = form.Ports()->Second();
    ASSERT_FALSE(panel.IsRunning());
    panel.List()->setEditText("COM6");
    ports_.log.clear();
    Click(panel.StartStop());

    EXPECT_EQ(ports_.log, (std::vector<std::string>{"@5000 open \\\\.\\COM6", "@5000 DTR 1",
                                                    std::string("@5000 DTR ") + dtr}))
        << "no RTS change, no pause: unlike the start-up";
    EXPECT_TRUE(panel.IsRunning());
    EXPECT_FALSE(panel.List()->isEnabled());
    EXPECT_FALSE(panel.Rescan()->isEnabled());
    EXPECT_TRUE(dialogs_.messages.empty());
    EXPECT_EQ(TakePortStatuses(), (std::vector<PortStatusBytes>{{"COM9", 0, "COM6", 1}}));
    EXPECT_NE(Ini().find("[portUSB]\nComPort=COM9\n"), std::string::npos) << "a start saves nothing";
  }
}

TEST_F(PortControlTest, AFailedStartReportsTheBusyPortRescansAndSavesTheFirstFreeOne) {
  ports_.present = {"\\\\.\\COM2", "\\\\.\\COM3", "\\\\.\\COM5", "\\\\.\\COM32", "\\\\.\\COM33"};
  ports_.held = {"\\\\.\\COM3"};  // another program has it
  TForm1& form = StartWith("[main]\nn_abs=7\n[port]\nComPort=COM9\nBaudRate=19200\n");
  PortPanel& panel = form.Ports()->Main();
  for (const char* name : {"COM3", "COM1234"}) {  // busy; absent, and longer than the record's six characters
    dialogs_.messages.clear();
    panel.List()->setEditText(name);
    Click(panel.StartStop());

    EXPECT_EQ(dialogs_.messages, std::vector<QString>{"Порт уже занят!"});
    EXPECT_FALSE(panel.IsRunning());
    ASSERT_EQ(panel.List()->count(), 3);
    EXPECT_EQ(panel.List()->itemText(0), "COM2");
    EXPECT_EQ(panel.List()->itemText(1), "COM5");
    EXPECT_EQ(panel.List()->itemText(2), "COM32");
    EXPECT_EQ(panel.List()->currentText(), "COM2");
    EXPECT_EQ(Ini(), "[main]\nn_abs=7\n[port]\nComPort=COM2\nBaudRate=19200\n" + NoProtocol8Server())
        << "only the ComPort key of the port's section changes";
    // The name tried is the current name, cut to six characters in the record.
    EXPECT_EQ(TakePortStatuses(), (std::vector<PortStatusBytes>{{std::string(name).substr(0, 6), 0, "COM255", 0}}));
    EXPECT_FALSE(Runtime().CommPortDriver1()->IsOpen());
  }
  EXPECT_TRUE(ports_.held.contains("\\\\.\\COM3")) << "the other program keeps its port";
}

TEST_F(PortControlTest, RescanWithoutDevicesKeepsAndSavesTheText) {
  TForm1& form = StartWith("[portUSB]\nComPort=COM7\n");
  PortPanel& panel = form.Ports()->Second();
  Click(panel.Rescan());
  EXPECT_EQ(panel.List()->count(), 0);
  EXPECT_EQ(panel.List()->currentText(), "COM7");
  EXPECT_EQ(Ini(), "[portUSB]\nComPort=COM7\n" + NoProtocol8Server());
  EXPECT_TRUE(TakePortStatuses().empty()) << "a rescan reports nothing";
}

TEST_F(PortControlTest, AnEntryPickedIsSavedOnlyWhileStopped) {
  ports_.present = {"\\\\.\\COM1", "\\\\.\\COM2"};
  TForm1& form = StartWith("[port]\nComPort=COM8\n");
  PortPanel& panel = form.Ports()->Main();
  Click(panel.Rescan());
  panel.List()->setCurrentIndex(1);
  emit panel.List()->activated(1);
  EXPECT_NE(Ini().find("ComPort=COM2"), std::string::npos);

  Click(panel.StartStop());
  ASSERT_TRUE(panel.IsRunning());
  const std::string saved = Ini();
  panel.List()->setCurrentIndex(0);
  emit panel.List()->activated(0);
  EXPECT_EQ(Ini(), saved) << "a running port's list writes nothing";
}

// The operator picks the second device of a rescan, starts and stops it: the
// list still names that device, and the next Start opens it again.
TEST_F(PortControlTest, StopKeepsTheDeviceThatWasRunning) {
  ports_.present = {"\\\\.\\COM2", "\\\\.\\COM5", "\\\\.\\COM7"};
  TForm1& form = StartWith("");
  PortPanel& panel = form.Ports()->Main();
  Click(panel.Rescan());
  ASSERT_EQ(panel.List()->count(), 3);
  panel.List()->setCurrentIndex(1);
  emit panel.List()->activated(1);
  Click(panel.StartStop());
  ASSERT_TRUE(panel.IsRunning());
  EXPECT_EQ(Runtime().CommPortDriver1()->PortName(), "\\\\.\\COM5");

  dialogs_.answers = {PasswordOutcome::Accepted};
  Click(panel.StartStop());
  ASSERT_FALSE(panel.IsRunning());
  EXPECT_EQ(panel.List()->currentText(), "COM5");
  EXPECT_NE(Ini().find("ComPort=COM5"), std::string::npos);

  ports_.log.clear();
  Click(panel.StartStop());
  EXPECT_TRUE(panel.IsRunning());
  ASSERT_FALSE(ports_.log.empty());
  EXPECT_EQ(ports_.log.front(), "@5000 open \\\\.\\COM5");
}

TEST_F(PortControlTest, AConfigurationFileThatCannotBeWrittenGivesErrorNineteen) {
  TForm1& form = StartWith("[portUSB]\nComPort=COM7\n");
  fs::remove(kIniFileName);
  fs::create_directory(kIniFileName);  // not writable as a file, even for root
  Click(form.Ports()->Second().Rescan());
  EXPECT_EQ(test::ReadFile("error.txt"), Utf8ToCp1251("ошибка №19") + "\r\n");
  EXPECT_TRUE(errors_.empty()) << "nothing is shown";

  fs::remove("error.txt");
  fs::create_directory("error.txt");  // and now the error log cannot be written either
  Click(form.Ports()->Second().Rescan());
  EXPECT_EQ(errors_.size(), 1u) << "reported as an uncaught error";
}

// A message server of the test's own on its own address, port 7788, that collects frames
// while the event loop serves the driver (it runs in this process).
class FrameListener {
 public:
  explicit FrameListener(const std::string& address) : server_(address.c_str(), 7788) {}
  bool WaitForFrames(std::size_t count, int timeoutMs = 5000) {
    return test::PumpUntil(
        [&] {
          server_.TryAccept();
          if (server_.Peer() >= 0) server_.Collect();
          return server_.Received().size() >= count * p7::kFrameSize;
        },
        std::chrono::milliseconds(timeoutMs));
  }
  // Type and payload byte 0 of every frame so far.
  std::vector<std::pair<int, int>> Frames() const {
    std::vector<std::pair<int, int>> frames;
    const Bytes& bytes = server_.Received();
    for (std::size_t at = 0; at + p7::kFrameSize <= bytes.size(); at += p7::kFrameSize) {
      const auto fields = p7::DecodeFrame(std::span(bytes).subspan(at, p7::kFrameSize));
      frames.emplace_back(fields ? fields->type : -1, fields ? fields->firstPayloadByte : -1);
    }
    return frames;
  }

 private:
  test::LoopbackServer server_;
};

TEST_F(PortControlTest, AStartedMainPortSendsItsComNumberWhateverSendMivo7Says) {
  // COM300 gives 300 mod 256; a device path gives its trailing digits.
  const struct {
    const char* name;
    int byte;
  } cases[] = {{"COM300", 44}, {"/dev/ttyUSB5", 5}};
  for (const auto& c : cases) {
    FrameListener server(OwnAddress());
    ports_ = {};
    ports_.present = {std::string("\\\\.\\") + c.name};
    TForm1& form = StartWith("[main]\nSendMivo7=0\nhost=" + OwnAddress() + "\n");
    ASSERT_TRUE(server.WaitForFrames(2)) << "Timer3 connects whatever SendMivo7 says";
    PortPanel& panel = form.Ports()->Main();
    panel.List()->setEditText(c.name);
    Click(panel.StartStop());
    ASSERT_TRUE(panel.IsRunning());
    ASSERT_TRUE(server.WaitForFrames(3)) << c.name;
    EXPECT_EQ(server.Frames().back(), std::make_pair(int{p7::ftPortNumber}, c.byte)) << c.name;
    EXPECT_EQ(TakePortStatuses().size(), 1u);

    // The second port sends no frame.
    ports_.present.insert("\\\\.\\COM4");
    form.Ports()->Second().List()->setEditText("COM4");
    Click(form.Ports()->Second().StartStop());
    ASSERT_TRUE(form.Ports()->Second().IsRunning());
    server.WaitForFrames(4, 500);
    EXPECT_EQ(server.Frames().size(), 3u);
    form_.reset();
  }
}

TEST_F(PortControlTest, AMainPortPathWithoutDigitsIsReportedAndSendsNothing) {
  ports_.present = {"\\\\.\\/dev/serial/by-id/usb-station"};
  TForm1& form = StartWith("");
  PortPanel& panel = form.Ports()->Main();
  panel.List()->setEditText("/dev/serial/by-id/usb-station");
  Click(panel.StartStop());
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], "'/dev/serial/by-id/usb-station' gives no COM port number for the message server");
  EXPECT_TRUE(panel.IsRunning()) << "the port stays open and running";
  EXPECT_TRUE(Runtime().CommPortDriver1()->IsOpen());
  EXPECT_TRUE(TakePortStatuses().empty()) << "nor is the port-status record queued";
}

TEST_F(PortControlTest, WithoutProtocol8StartAndStopQueueNothing) {
  ports_.present = {"\\\\.\\COM3"};
  TForm1& form = StartWith("[main]\nSendMivo8=0\n");
  ASSERT_EQ(Runtime().Core().Link(), nullptr);
  PortPanel& panel = form.Ports()->Main();
  panel.List()->setEditText("COM3");
  Click(panel.StartStop());
  EXPECT_TRUE(panel.IsRunning());
  dialogs_.answers = {PasswordOutcome::Accepted};
  Click(panel.StartStop());
  EXPECT_FALSE(panel.IsRunning());
  EXPECT_FALSE(Runtime().CommPortDriver1()->IsOpen());
}

TEST_F(PortControlTest, AnUnpluggedPortIsOpenedAgainWhenItComesBack) {
  ports_.present = {"\\\\.\\COM3"};
  TForm1& form = StartWith("[port]\nComPort=COM3\n");
  PortPanel& panel = form.Ports()->Main();
  ASSERT_TRUE(Runtime().CommPortDriver1()->IsOpen());

  ports_.present.clear();  // the adapter is pulled out
  QTRY_VERIFY_WITH_TIMEOUT(!Runtime().CommPortDriver1()->IsOpen(), 2000);
  EXPECT_TRUE(panel.IsRunning()) << "the port is still meant to run";
  EXPECT_TRUE(form.Status()->Memo1()->toPlainText().contains("Порт COM3 потерян"));
  EXPECT_EQ(TakePortStatuses(), (std::vector<PortStatusBytes>{{"COM3", 0, "COM255", 0}}));

  ports_.present = {"\\\\.\\COM3"};  // and plugged in again
  clock_.Advance(5000);
  QTRY_VERIFY_WITH_TIMEOUT(Runtime().CommPortDriver1()->IsOpen(), 2000);
  EXPECT_TRUE(form.Status()->Memo1()->toPlainText().contains("Порт COM3 снова открыт."));
  EXPECT_EQ(TakePortStatuses(), (std::vector<PortStatusBytes>{{"COM3", 1, "COM255", 0}}));
}

// The start-up's attempts at a missing main port end when the operator takes
// the port over with a rescan or a pick: no device that a rescan probed is
// left open, and the configured one is not opened behind the operator's back
// when it comes.
TEST_F(PortControlTest, ARescanOrAPickEndsTheStartUpsAttemptsAndLeavesNoDeviceOpen) {
  const struct {
    const char* action;
    bool rescan;
  } cases[] = {{"rescan", true}, {"pick", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.action);
    form_.reset();
    ports_ = {};
    ports_.clock = &clock_;
    ports_.present = {"\\\\.\\COM1", "\\\\.\\COM32"};
    TForm1& form = StartWith("[port]\nComPort=COM3\n");
    PortPanel& panel = form.Ports()->Main();
    ASSERT_FALSE(Runtime().CommPortDriver1()->IsOpen());
    if (c.rescan) {
      Click(panel.Rescan());
      EXPECT_EQ(panel.List()->currentText(), "COM1");
    } else {
      panel.List()->setEditText("COM1");
      emit panel.List()->activated(0);
    }
    ports_.present.insert("\\\\.\\COM3");  // the configured device comes
    ports_.log.clear();
    for (int i = 0; i < 2; ++i) {
      clock_.Advance(5000);
      Runtime().Core().Tick();
    }
    EXPECT_FALSE(Runtime().CommPortDriver1()->IsOpen());
    EXPECT_TRUE(ports_.log.empty()) << ports_.log.front();
    EXPECT_FALSE(panel.IsRunning());
  }
}

// Pseudo-terminals published as COM ports in VOREL_COM_DIR: the real
// opening, with its exclusive hold, and the real probing.
class PortControlOnPtysTest : public PortControlTest {
 protected:
  void SetUp() override {
    PortControlTest::SetUp();
    realDevices_ = true;
    comDir_ = fs::current_path() / "com";
    fs::create_directory(comDir_);
    previousComDir_ = std::getenv("VOREL_COM_DIR") ? std::getenv("VOREL_COM_DIR") : "";
    setenv("VOREL_COM_DIR", comDir_.c_str(), 1);
  }
  void TearDown() override {
    PortControlTest::TearDown();
    if (previousComDir_.empty())
      unsetenv("VOREL_COM_DIR");
    else
      setenv("VOREL_COM_DIR", previousComDir_.c_str(), 1);
  }
  void Publish(int n, const test::PtyPair& pty) {
    ASSERT_TRUE(pty.Ok());
    fs::create_symlink(pty.SlavePath(), comDir_ / ("COM" + std::to_string(n)));
  }

  fs::path comDir_;
  std::string previousComDir_;
};

TEST_F(PortControlOnPtysTest, StartOnAFreeBusyAndMissingDevice) {
  test::PtyPair free, busy;
  Publish(2, free);
  Publish(5, busy);
  // Another program holds COM5 the way the driver holds its own ports.
  const int holder = open(busy.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

  TForm1& form = StartWith("[port]\nComPort=COM2\n");
  PortPanel& panel = form.Ports()->Main();
  ASSERT_TRUE(panel.IsRunning()) << "opened at start-up";
  dialogs_.answers = {PasswordOutcome::Accepted};
  Click(panel.StartStop());
  ASSERT_FALSE(panel.IsRunning());

  for (const char* name : {"COM5", "COM9"}) {  // busy; missing
    dialogs_.messages.clear();
    panel.List()->setEditText(name);
    Click(panel.StartStop());
    EXPECT_EQ(dialogs_.messages, std::vector<QString>{"Порт уже занят!"}) << name;
    EXPECT_FALSE(panel.IsRunning());
    EXPECT_EQ(panel.List()->count(), 1);
    EXPECT_EQ(panel.List()->currentText(), "COM2");
  }
  Click(panel.StartStop());
  EXPECT_TRUE(panel.IsRunning());
  EXPECT_TRUE(Runtime().CommPortDriver1()->IsOpen());
  EXPECT_EQ(Runtime().CommPortDriver1()->PortName(), "\\\\.\\COM2");
  close(holder);
}

TEST_F(PortControlOnPtysTest, RescanListsExactlyTheFreePortsInOrder) {
  test::PtyPair a, b, c, d;
  Publish(3, a);
  Publish(12, b);
  Publish(31, c);
  Publish(32, d);
  TForm1& form = StartWith("[port]\nComPort=COM255\n[portUSB]\nComPort=COM12\n");
  ASSERT_TRUE(form.Ports()->Second().IsRunning()) << "the other panel holds COM12";
  const int holder = open(c.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);  // and another program COM31

  PortPanel& panel = form.Ports()->Main();
  Click(panel.Rescan());
  QStringList listed;
  for (int i = 0; i < panel.List()->count(); ++i) listed << panel.List()->itemText(i);
  EXPECT_EQ(listed, (QStringList{"COM3", "COM32"}));
  EXPECT_EQ(Ini(), "[port]\nComPort=COM3\n[portUSB]\nComPort=COM12\n" + NoProtocol8Server());
  EXPECT_TRUE(Runtime().CommPortDriver2()->IsOpen()) << "the probe leaves the other panel's port alone";
  close(holder);
}

// Serial adapters by their stable names after the COM ports: only those that
// open now, each device once; a path picked there is saved as it is and
// opens at the next start-up like a COM name.
TEST_F(PortControlOnPtysTest, RescanListsAdaptersByStableNameAndAPickedPathIsKept) {
  test::PtyPair com, adapter, unnamed, held;
  Publish(3, com);
  fs::create_directories(deviceRoots_.byId);
  fs::create_directories(deviceRoots_.dev);
  const fs::path station = deviceRoots_.byId / "usb-FTDI_FT232R_A50285BI-if00-port0";
  fs::create_symlink(adapter.SlavePath(), station);
  fs::create_symlink(com.SlavePath(), deviceRoots_.byId / "usb-Prolific_PL2303-if00-port0");  // COM3 already
  fs::create_symlink(adapter.SlavePath(), deviceRoots_.dev / "ttyUSB0");                       // named by id
  fs::create_symlink(unnamed.SlavePath(), deviceRoots_.dev / "ttyUSB1");
  fs::create_symlink(held.SlavePath(), deviceRoots_.dev / "ttyACM0");
  const int holder = open(held.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);  // another program has it

  TForm1& form = StartWith("");
  PortPanel& panel = form.Ports()->Main();
  Click(panel.Rescan());
  QStringList listed;
  for (int i = 0; i < panel.List()->count(); ++i) listed << panel.List()->itemText(i);
  EXPECT_EQ(listed, (QStringList{"COM3", QString::fromStdString(station.string()),
                                 QString::fromStdString((deviceRoots_.dev / "ttyUSB1").string())}));

  panel.List()->setCurrentIndex(1);
  emit panel.List()->activated(1);
  EXPECT_NE(Ini().find("[port]\nComPort=" + station.string() + "\n"), std::string::npos) << Ini();
  Click(panel.StartStop());
  EXPECT_TRUE(panel.IsRunning());
  EXPECT_EQ(Runtime().CommPortDriver1()->PortName(), "\\\\.\\" + station.string());

  form_.reset();
  TForm1& again = Start();
  EXPECT_TRUE(again.Ports()->Main().IsRunning()) << "the saved path opens at start-up";
  EXPECT_TRUE(Runtime().CommPortDriver1()->IsOpen());
  EXPECT_EQ(again.Ports()->Main().List()->currentText(), QString::fromStdString(station.string()));
  close(holder);
}

}  // namespace
}  // namespace vorel
