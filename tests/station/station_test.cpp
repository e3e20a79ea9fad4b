// The station core without a window: packets in, the station answered,
// events out to spool files while both links are down, ticks that supervise
// the station links and reopen lost ports, and what it reports to its view.
#include "station/station.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "support/fake_scheduler.h"
#include "support/fake_serial_ports.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;

constexpr char kMainDevice[] = "\\\\.\\COM1";
constexpr std::uint8_t kAck = 0x06;

class RecordingView final : public IStationView {
 public:
  void RefreshIndicator(StationIndicator indicator) override { refreshed.push_back(indicator); }
  void RedrawIndicator(StationIndicator indicator) override { redrawn.push_back(indicator); }
  void AddLogLine(Severity severity, const std::string& text) override {
    log.push_back(text);
    levels.push_back(severity);
  }
  void ShowTimeSinceLastFrame(TDateTime, TDateTime) override {}
  void LogError(int code) override { errors.push_back(code); }
  void ReportSpoolLoss(const std::string& loss) override { losses.push_back(loss); }
  void CloseRequested() override { ++closeRequests; }

  std::vector<StationIndicator> refreshed, redrawn;
  std::vector<std::string> log, losses;
  std::vector<Severity> levels;  // of each line of `log`
  std::vector<int> errors;
  int closeRequests = 0;
};

class NoClockSetter final : public ILocalClockSetter {
 public:
  void SetLocalDateTime(TDateTime) override {}
};

// Both links down (protocol 7 never connects, protocol 8 not started), the
// main port open on a fake device, everything written in the test's folder.
class StationTest : public ::testing::Test {
 protected:
  StationTest() : previous_(fs::current_path()) {
    fs::current_path(dir.Path());  // the traffic logs go to the current directory
    ports.present.insert(kMainDevice);
    ports.clock = &clock;
    settings.SendMivo7 = true;
    settings.SendMivo8 = true;
    settings.PathForSoob = (dir / "spool").string() + "/";
    for (TCommPortDriver* port : {&mainPort, &secondPort}) {
      port->SetPortName(kMainDevice);
      port->SetPacketSize(256);
    }
    station.ResetStationLinks();
    station.NamePortsFromSettings();
    station.SetPortWanted(PortId::Main, true);
    EXPECT_TRUE(mainPort.Open());
    station.BuildEventPath();
  }
  ~StationTest() override { fs::current_path(previous_); }

  void Receive(const std::string& frame) {
    station.ReceivePacket(PortId::Main, std::vector<std::uint8_t>(frame.begin(), frame.end()));
  }
  std::vector<std::string> Spooled(const std::string& extension) const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir / "spool"))
      if (e.path().extension() == extension) names.push_back(e.path().filename().string());
    return names;
  }
  const std::vector<std::uint8_t>& Written() { return ports.output[kMainDevice]; }

  test::TempDir dir;
  fs::path previous_;
  test::FakeClock clock;
  test::FakeSerialPorts ports;
  NoClockSetter clockSetter;
  Settings settings;
  RecordingView view;
  TCommPortDriver mainPort{nullptr, clock, ports.Make()};
  TCommPortDriver secondPort{nullptr, clock, ports.Make()};
  TSimpleTCPClient protocol7{nullptr, CreateSystemSocketApi()};
  test::FakeScheduler scheduler;
  Station station{settings, StationParts{&mainPort, &secondPort, &protocol7, &clock, &clockSetter, &scheduler}, view};
};

// The start-up reads the settings file and builds the event path before a
// port opens; it reports which ports opened, and a port that did not open is
// not wanted.
TEST_F(StationTest, StartUpReadsTheSettingsAndOpensTheConfiguredPortsWithTheEventPathBuilt) {
  mainPort.Close();
  test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\n[portUSB]\nComPort=COM9\n[main]\nSendMivo8=0\n"
                                     "SendMivo7=0\nFirstNumber=12\nPathForSoob=" + (dir / "spool").string() + "/\n");
  const Station::StartUpResult result = station.StartUp(dir / "vorel.ini", [](std::function<void()>) {});
  EXPECT_EQ(result.portOpen, (std::array<bool, 2>{true, false}));
  EXPECT_TRUE(station.PortWanted(PortId::Main));
  EXPECT_FALSE(station.PortWanted(PortId::Second));
  EXPECT_EQ(station.CurrentName(PortId::Second), "COM9");
  EXPECT_EQ(settings.FirstNumber, 12);
  EXPECT_EQ(station.Link(), nullptr) << "protocol 8 is off";
  EXPECT_DOUBLE_EQ(result.startedAt, clock.Now());
  Receive("\n0111234 E100\r");
  EXPECT_EQ(Written(), std::vector<std::uint8_t>{kAck}) << "the event path was there for the first frame";
  EXPECT_FALSE(fs::exists(dir / "spool")) << "both outputs are off: nothing spooled";
}

// Headless, nobody presses Start: a configured port that does not open at
// start is tried every 5 s until its device comes, its failure logged once;
// the operator's own start or stop of the port ends the attempts.
TEST_F(StationTest, APortThatDoesNotOpenAtStartIsTriedEveryFiveSecondsUntilItComes) {
  for (const bool operatorActs : {false, true}) {
    SCOPED_TRACE(operatorActs ? "the operator acts" : "nobody acts");
    mainPort.Close();
    ports.present.erase("\\\\.\\COM9");
    view.log.clear();
    test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM9\n[main]\nSendMivo8=0\nSendMivo7=0\n");
    const Station::StartUpResult result = station.StartUp(dir / "vorel.ini", [](std::function<void()>) {});
    EXPECT_FALSE(result.portOpen[0]);
    EXPECT_FALSE(station.PortWanted(PortId::Main)) << "the panel shows stopped";
    ASSERT_EQ(view.log.size(), 1u);
    EXPECT_EQ(view.log[0].rfind("Порт COM9 не открыт (", 0), 0u) << view.log[0];
    if (operatorActs) station.SetPortWanted(PortId::Main, false);

    clock.Advance(4999);
    station.Tick();
    clock.Advance(1);
    station.Tick();  // an attempt that fails as before: not logged again
    EXPECT_FALSE(mainPort.IsOpen());
    EXPECT_EQ(view.log.size(), 1u);

    ports.present.insert("\\\\.\\COM9");
    clock.Advance(4999);
    station.Tick();
    EXPECT_FALSE(mainPort.IsOpen()) << "not before 5 s";
    clock.Advance(1);
    station.Tick();
    EXPECT_EQ(mainPort.IsOpen(), !operatorActs);
    EXPECT_EQ(station.PortWanted(PortId::Main), !operatorActs) << "open, it runs as if started";
    if (!operatorActs) {
      EXPECT_EQ(view.log.back(), "Порт COM9 снова открыт.");
    }
  }
}

TEST_F(StationTest, AnAlarmWithBothLinksDownIsSpooledForBothThenAcknowledged) {
  Receive("\n0111234 E100\r");
  EXPECT_EQ(Spooled(".dd8").size(), 1u);
  EXPECT_EQ(Spooled(".ddm").size(), 1u);
  EXPECT_EQ(Written(), std::vector<std::uint8_t>{kAck});
  EXPECT_EQ(view.refreshed, std::vector<StationIndicator>{StationIndicator::Port1});
  EXPECT_TRUE(view.losses.empty());
  Receive("\n011OKAY\r");  // a keep-alive is no alarm
  const AlarmCounts counts = station.Status().alarms;
  EXPECT_EQ(counts.received, 1u);
  EXPECT_EQ(counts.acknowledged, 1u);
  EXPECT_EQ(counts.notAcknowledged, 0u);
  EXPECT_EQ(counts.notKept, 0u);
  station.ReadSpoolDirectory();
  EXPECT_TRUE(station.Status().dd8Next.has_value()) << "the file the replay takes next";
}

TEST_F(StationTest, AnAlarmThatNothingCanKeepIsNotAcknowledged) {
  settings.PathForSoob = (dir / "not-a-dir").string() + "/x/";
  test::WriteFile(dir / "not-a-dir", "a file");
  station.BuildEventPath();
  Receive("\n0111234 E100\r");
  EXPECT_TRUE(Written().empty()) << "the station keeps the alarm and sends it again";
  EXPECT_EQ(view.losses.size(), 2u);
  const AlarmCounts counts = station.Status().alarms;
  EXPECT_EQ(counts.received, 1u);
  EXPECT_EQ(counts.acknowledged, 0u);
  EXPECT_EQ(counts.notAcknowledged, 1u);
  EXPECT_EQ(counts.notKept, 2u) << "both outputs' copies";
}

TEST_F(StationTest, TheTickReportsTheStationLinkRestoredOverProtocol7) {
  Receive("\n0111234 E100\r");
  station.Tick();
  EXPECT_TRUE(station.StationLink(PortId::Main).linkUp);
  EXPECT_FALSE(station.StationLink(PortId::Second).linkUp);
  EXPECT_EQ(view.redrawn, std::vector<StationIndicator>{StationIndicator::Port1});
  EXPECT_EQ(Spooled(".ddm").size(), 2u) << "the event and ftStationRestored, the link being down";
}

// Guards against a main port left closed until the operator comes, after a
// restart frame whose reopening failed.
TEST_F(StationTest, AMainPortThatARestartCouldNotReopenIsTriedAgainEveryFiveSeconds) {
  ports.present.erase(kMainDevice);
  Receive("\n01X12Y4 3A00\r");
  clock.Advance(5000);
  scheduler.Advance(5000);  // the restart's pause ends; the port does not open
  EXPECT_FALSE(mainPort.IsOpen());
  ports.present.insert(kMainDevice);  // the adapter is back
  clock.Advance(4999);
  station.Tick();
  EXPECT_FALSE(mainPort.IsOpen());
  clock.Advance(1);
  station.Tick();
  EXPECT_TRUE(mainPort.IsOpen());
  ASSERT_FALSE(view.log.empty());
  EXPECT_NE(view.log.back().find("снова открыт"), std::string::npos);
}

// The operator stops the main port during a restart's pause: the end of the
// pause leaves it closed, and the frame behind the restart frame is not
// answered; one still wanted opens again and answers it.
TEST_F(StationTest, TheEndOfARestartPauseOpensThePortOnlyWhileTheOperatorWantsIt) {
  for (const bool wanted : {false, true}) {
    SCOPED_TRACE(wanted ? "still wanted" : "stopped during the pause");
    ASSERT_TRUE(mainPort.IsOpen());
    ports.output[kMainDevice].clear();
    Receive("\n01X12Y4 3A00\r\n0111234 E100\r");
    ASSERT_FALSE(mainPort.IsOpen());
    station.SetPortWanted(PortId::Main, wanted);
    clock.Advance(5000);
    scheduler.Advance(5000);
    EXPECT_EQ(mainPort.IsOpen(), wanted);
    EXPECT_EQ(std::count(Written().begin(), Written().end(), kAck), wanted ? 1 : 0);
    if (!wanted) {
      station.SetPortWanted(PortId::Main, true);
      ASSERT_TRUE(mainPort.Open());
    }
  }
}

// The core keeps whether the operator wants each port running; it does not
// read it back from the window's panel.
TEST_F(StationTest, ALostPortIsReopenedOnlyWhileTheOperatorWantsItRunning) {
  for (const bool wanted : {false, true}) {
    SCOPED_TRACE(wanted ? "wanted" : "stopped by the operator");
    mainPort.Close();
    station.SetPortWanted(PortId::Main, wanted);
    station.PortLost(PortId::Main);
    clock.Advance(5000);
    station.Tick();
    scheduler.Advance(300);
    EXPECT_EQ(mainPort.IsOpen(), wanted);
  }
}

// With NotSendToDiskMivo8 on, a protocol-8 event the link cannot take is
// dropped and the station acknowledged all the same, as configured; the log
// says so at the start and for each event, as a warning, and it is counted.
TEST_F(StationTest, EventsDroppedByNotSendToDiskMivo8AreSaidAloudAndCounted) {
  settings.SendMivo7 = false;
  settings.NotSendToDiskMivo8 = true;
  station.BuildEventPath();  // protocol 8 on, its link not up
  Receive("\n0111234 E100\r");
  Receive("\n0111235 E100\r");
  EXPECT_EQ(Written(), (std::vector<std::uint8_t>{kAck, kAck})) << "dropped by the operator's choice";
  EXPECT_FALSE(fs::exists(dir / "spool"));
  ASSERT_EQ(view.log.size(), 2u);
  EXPECT_EQ(view.log[0], "Событие отброшено (протокол 8, rtEventMain): связь не приняла, запись на диск отключена "
                         "(NotSendToDiskMivo8=1).");
  EXPECT_EQ(view.levels, std::vector<Severity>(2, Severity::Warning));
  const AlarmCounts counts = station.Status().alarms;
  EXPECT_EQ(counts.dropped, 2u);
  EXPECT_EQ(counts.notKept, 0u) << "dropped by design, not a failure";

  view.log.clear();
  view.levels.clear();
  test::WriteFile(dir / "vorel.ini", "[main]\nSendMivo8=1\nNotSendToDiskMivo8=1\nSendMivo7=0\n"
                                     "[ServerHost]\nAddress=127.0.0.1\nPort=1\n");
  station.StartUp(dir / "vorel.ini", [](std::function<void()>) {});
  ASSERT_FALSE(view.log.empty());
  EXPECT_EQ(view.log[0].rfind("Внимание: NotSendToDiskMivo8=1", 0), 0u) << view.log[0];
  EXPECT_EQ(view.levels[0], Severity::Warning);
}

TEST_F(StationTest, TheMessageServersCloseFrameReachesTheView) {
  station.Protocol7Read(p7::BuildCloseFrame());
  EXPECT_EQ(view.closeRequests, 1);
}

// The port page's actions, asked of the core: a start names the port (also
// when the device does not open), raises DTR and then takes the configured
// level; a start that fails, a stop and a probe leave the port not wanted,
// and a probe leaves the device closed.
TEST_F(StationTest, ThePortPagesActionsStartStopAndProbeThePort) {
  constexpr char kSecondDevice[] = "\\\\.\\COM7";
  settings.portUSB.DTR = false;
  ports.present.insert(kSecondDevice);
  ports.log.clear();
  EXPECT_TRUE(station.StartPort(PortId::Second, "COM7"));
  EXPECT_TRUE(secondPort.IsOpen());
  EXPECT_EQ(secondPort.PortName(), kSecondDevice);
  EXPECT_EQ(station.CurrentName(PortId::Second), "COM7");
  EXPECT_TRUE(station.PortWanted(PortId::Second));
  ASSERT_GE(ports.log.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(ports.log.end() - 2, ports.log.end()),
            (std::vector<std::string>{"@1000 DTR 1", "@1000 DTR 0"}));

  station.StopPort(PortId::Second);
  EXPECT_FALSE(secondPort.IsOpen());
  EXPECT_FALSE(station.PortWanted(PortId::Second));

  ports.held.insert(kSecondDevice);  // taken by another program
  station.SetPortWanted(PortId::Second, true);
  EXPECT_FALSE(station.StartPort(PortId::Second, "COM7"));
  EXPECT_FALSE(station.PortWanted(PortId::Second));
  EXPECT_FALSE(station.StartPort(PortId::Second, "COM8"));
  EXPECT_EQ(station.CurrentName(PortId::Second), "COM8") << "the port-status record reports the name tried";

  ports.held.erase(kSecondDevice);
  EXPECT_TRUE(station.ProbePort(PortId::Second, "COM7"));
  EXPECT_FALSE(secondPort.IsOpen()) << "a probe closes the device again";
  EXPECT_FALSE(station.ProbePort(PortId::Second, "COM8"));
  EXPECT_TRUE(mainPort.IsOpen()) << "the other port is not touched";
}

// The close closes both ports and the protocol-7 connection once; a second
// close does nothing.
TEST_F(StationTest, TheCloseClosesBothPortsOnce) {
  ports.present.insert("\\\\.\\COM7");
  ASSERT_TRUE(station.StartPort(PortId::Second, "COM7"));
  station.Close();
  EXPECT_TRUE(station.Closed());
  EXPECT_FALSE(mainPort.IsOpen());
  EXPECT_FALSE(secondPort.IsOpen());
  EXPECT_FALSE(protocol7.ConnectRequested());
  const std::size_t logged = ports.log.size();
  station.Close();
  EXPECT_EQ(ports.log.size(), logged);
}

}  // namespace
}  // namespace vorel
