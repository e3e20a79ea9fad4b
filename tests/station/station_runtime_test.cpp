// The station runtime without a window: it owns the serial components, the
// protocol-7 client and the timers, feeds the core, and reports through its
// signals; the close is the station's.
#include "station/station_runtime.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "support/fake_serial_ports.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;

constexpr char kMainDevice[] = "\\\\.\\COM1";

class NoClockSetter final : public ILocalClockSetter {
 public:
  void SetLocalDateTime(TDateTime) override {}
};

class StationRuntimeTest : public ::testing::Test {
 protected:
  StationRuntimeTest() : previous_(fs::current_path()) {
    fs::current_path(dir.Path());  // the traffic logs go to the current directory
    ports.present.insert(kMainDevice);
  }
  ~StationRuntimeTest() override { fs::current_path(previous_); }

  StationRuntime::Parts Parts() {
    StationRuntime::Parts parts;
    parts.clock = &clock;
    parts.clockSetter = &clockSetter;
    parts.makeSerialDevice = [this] { return ports.Make(); };
    return parts;
  }
  // Both links off, the main port COM1 cutting each packet at its frame's end.
  void WriteIni(const std::string& mainSection = "") {
    test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\nCutAtFrameEnd=1\n[main]\nSendMivo8=0\nSendMivo7=0\n"
                                       "PathForSoob=" + (dir / "spool").string() + "/\n" + mainSection);
  }

  test::TempDir dir;
  fs::path previous_;
  test::FakeClock clock{46366.5, 5000};
  NoClockSetter clockSetter;
  test::FakeSerialPorts ports;
};

// A frame on the main port is acknowledged by the runtime alone, its
// indicator moves, and Timer2 ticks: nothing of it needs a window.
TEST_F(StationRuntimeTest, RunsTheStationWithoutAWindow) {
  WriteIni();
  StationRuntime runtime(Parts());
  QSignalSpy refreshed(&runtime, &StationRuntime::indicatorRefreshed);
  QSignalSpy ticked(&runtime, &StationRuntime::ticked);
  const Station::StartUpResult started = runtime.StartUp(dir / "vorel.ini");
  EXPECT_TRUE(started.portOpen[0]);
  EXPECT_TRUE(runtime.CommPortDriver1()->IsOpen());
  EXPECT_DOUBLE_EQ(runtime.StartedAt(), started.startedAt);

  const std::string frame = "\n0111234 E100\r";
  ports.input[kMainDevice].assign(frame.begin(), frame.end());
  ASSERT_TRUE(test::PumpUntil([&] { return !ports.output[kMainDevice].empty(); }));
  EXPECT_EQ(ports.output[kMainDevice], std::vector<std::uint8_t>{0x06});
  ASSERT_FALSE(refreshed.isEmpty());
  EXPECT_EQ(refreshed.first().first().value<StationIndicator>(), StationIndicator::Port1);
  EXPECT_TRUE(test::PumpUntil([&] { return ticked.count() >= 2; }));
}

// A start-up cut short by a bad setting reaches the caller, and the event
// path is there all the same for the packets and ticks that follow.
TEST_F(StationRuntimeTest, AStartUpCutShortStillBuildsTheEventPath) {
  WriteIni("Attention=soon\n");
  StationRuntime runtime(Parts());
  EXPECT_ANY_THROW(runtime.StartUp(dir / "vorel.ini"));
  EXPECT_TRUE(runtime.Core().EventPathBuilt());
}

// The close is the station's, once; the runtime's end closes a station that
// nobody closed.
TEST_F(StationRuntimeTest, TheCloseIsTheStationsOnce) {
  WriteIni();
  {
    StationRuntime runtime(Parts());
    runtime.StartUp(dir / "vorel.ini");
    runtime.Close();
    EXPECT_TRUE(runtime.Core().Closed());
    EXPECT_FALSE(runtime.CommPortDriver1()->IsOpen());
    runtime.Close();
  }
  ports.log.clear();
  {
    StationRuntime runtime(Parts());
    runtime.StartUp(dir / "vorel.ini");
  }
  ASSERT_FALSE(ports.log.empty());
  EXPECT_EQ(ports.log.back(), std::string("close ") + kMainDevice);
  EXPECT_TRUE(ports.held.empty());
}

}  // namespace
}  // namespace vorel
