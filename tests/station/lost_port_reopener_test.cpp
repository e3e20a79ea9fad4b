// A port whose device went away while it ran is opened again by the driver:
// every 5 s, under the same name, with the start-up's DTR pulse, for as long
// as the operator keeps it running.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "station/lost_port_reopener.h"
#include "support/fake_clock.h"
#include "support/fake_scheduler.h"
#include "support/fake_serial_ports.h"

namespace vorel {
namespace {

class LostPortReopenerTest : public ::testing::Test {
 protected:
  LostPortReopenerTest() {
    ports.clock = &clock;
    ports.present = {"\\\\.\\COM3"};
    port.SetPortName("\\\\.\\COM3");
    port.OnDeviceLost = [this](TCommPortDriver*) { reopener.DeviceLost(); };
  }
  LostPortReopener::Callbacks Callbacks() {
    return {[this] { return wanted; },
            [this](Severity severity, const std::string& line) {
              // A port that is away is a warning; only its return is news
              // of another kind.
              const bool back = line.ends_with(" снова открыт.");
              EXPECT_EQ(static_cast<int>(severity), static_cast<int>(back ? Severity::Info : Severity::Warning))
                  << line;
              log.push_back(line);
            },
            [this] { ++stateChanges; }};
  }
  // Unplugged while running: the next poll finds out.
  void Unplug() {
    ports.present.erase("\\\\.\\COM3");
    port.Poll();
  }
  void TickAt(std::uint32_t msSinceLoss) {
    clock.SetTick(lossTick + msSinceLoss);
    reopener.Tick();
  }

  test::FakeClock clock{46366.5, 5000};
  test::FakeSerialPorts ports;
  TCommPortDriver port{nullptr, clock, ports.Make()};
  bool wanted = true;
  std::vector<std::string> log;
  int stateChanges = 0;
  test::FakeScheduler scheduler;
  LostPortReopener reopener{port, clock, scheduler, Callbacks()};
  std::uint32_t lossTick = 5000;
};

TEST_F(LostPortReopenerTest, RetriesEveryFiveSecondsAndReopensWithTheStartPulse) {
  ASSERT_TRUE(port.Open());
  Unplug();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_TRUE(reopener.Waiting());
  EXPECT_EQ(log, std::vector<std::string>{"Порт COM3 потерян, повтор открытия каждые 5 с."});
  EXPECT_EQ(stateChanges, 1);

  const int before = ports.openAttempts;
  TickAt(4999);
  EXPECT_EQ(ports.openAttempts, before);
  TickAt(5000);
  EXPECT_EQ(ports.openAttempts, before + 1) << "the device is still away";
  TickAt(9999);
  EXPECT_EQ(ports.openAttempts, before + 1);

  ports.present.insert("\\\\.\\COM3");
  ports.log.clear();
  TickAt(10000);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.PortName(), "\\\\.\\COM3");
  EXPECT_EQ(scheduler.delays, std::vector<std::uint32_t>{300}) << "the pulse is a timer, not a sleep";
  clock.Advance(300);
  scheduler.Advance(300);
  EXPECT_EQ(ports.log, (std::vector<std::string>{"@15000 open \\\\.\\COM3", "@15000 DTR 0", "@15000 RTS 0",
                                                 "@15300 DTR 1"}));
  EXPECT_FALSE(reopener.Waiting());
  EXPECT_EQ(log.back(), "Порт COM3 снова открыт.");
  EXPECT_EQ(stateChanges, 2);
}

TEST_F(LostPortReopenerTest, TheOperatorsStopOrStartEndsTheAttempts) {
  ASSERT_TRUE(port.Open());
  Unplug();
  wanted = false;  // stopped from the panel
  const int before = ports.openAttempts;
  TickAt(5000);
  EXPECT_FALSE(reopener.Waiting());
  wanted = true;
  TickAt(20000);
  EXPECT_EQ(ports.openAttempts, before) << "a stopped port stays stopped";

  ports.present.insert("\\\\.\\COM3");
  ASSERT_TRUE(port.Open());
  Unplug();
  ports.present.insert("\\\\.\\COM3");
  ASSERT_TRUE(port.Open());  // started again by hand
  TickAt(5000);
  EXPECT_FALSE(reopener.Waiting());
  EXPECT_EQ(stateChanges, 2) << "only the losses";
}

// A rescan probes other devices through the same component and leaves it
// named after the last one; the attempts still open the port's own device.
TEST_F(LostPortReopenerTest, TheAttemptsKeepTheirDeviceWhateverTheComponentIsNamedMeanwhile) {
  port.SetPortName("\\\\.\\COM9");
  ASSERT_FALSE(port.Open());
  reopener.NotOpenedAtStart();
  port.SetPortName("\\\\.\\COM32");  // a probe
  ports.present = {"\\\\.\\COM9", "\\\\.\\COM32"};
  TickAt(5000);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.PortName(), "\\\\.\\COM9");
  EXPECT_EQ(log.back(), "Порт COM9 снова открыт.");
}

}  // namespace
}  // namespace vorel
