// Silence on a port: lost strictly after the attention time, restored by the
// next traffic, each change reported once.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "receiver/station_supervision.h"

namespace vorel {
namespace {

constexpr TDateTime kTenMinutes = 10.0 / (24 * 60);
constexpr TDateTime kMs = 1.0 / 86'400'000;
constexpr TDateTime kNow = 46366.5;

struct Rig {
  std::vector<std::string> seen;  // "redraw 31", "frame H 31", "error 9"
  bool failSend = false;
  StationPortState main{kNow - 1, false};
  StationPortState second{kNow - 1, false};
  StationSupervision supervision{kTenMinutes,
                                 [this](p7::FrameType type, std::int32_t tag) {
                                   if (failSend) throw std::runtime_error("send failed");
                                   seen.push_back(std::string("frame ") + static_cast<char>(type) + " " +
                                                  std::to_string(tag));
                                 },
                                 [this](int code) { seen.push_back("error " + std::to_string(code)); }};
  StationSupervision::Port Port(StationPortState& s, int tag) {
    return {&s, tag, [this, tag] { seen.push_back("redraw " + std::to_string(tag)); }};
  }
  void Tick(TDateTime now) {
    supervision.Check(Port(main, kMainPortTag), now);
    supervision.Check(Port(second, kSecondPortTag), now);
  }
};

TEST(StationSupervision, NoTrafficSinceStartReportsNothing) {
  Rig rig;
  rig.Tick(kNow);
  rig.Tick(kNow + kTenMinutes * 3);
  EXPECT_TRUE(rig.seen.empty());
}

TEST(StationSupervision, TrafficRestoresThenSilenceLosesStrictlyAfterAttention) {
  Rig rig;
  rig.main.lastFrameTime = kNow;  // first packet on the main port
  rig.Tick(kNow + 200 * kMs);
  EXPECT_EQ(rig.seen, (std::vector<std::string>{"redraw 31", "frame I 31"}));
  EXPECT_TRUE(rig.main.linkUp);

  rig.seen.clear();
  rig.Tick(kNow + kTenMinutes);  // exactly the attention time: still up
  EXPECT_TRUE(rig.seen.empty());
  rig.Tick(kNow + kTenMinutes + 100 * kMs);
  EXPECT_EQ(rig.seen, (std::vector<std::string>{"redraw 31", "frame H 31"}));
  EXPECT_FALSE(rig.main.linkUp);

  rig.seen.clear();
  rig.main.lastFrameTime = kNow + kTenMinutes + 150 * kMs;  // a packet, well-formed or not
  rig.Tick(kNow + kTenMinutes + 300 * kMs);
  EXPECT_EQ(rig.seen, (std::vector<std::string>{"redraw 31", "frame I 31"}));
}

TEST(StationSupervision, WithoutProtocol7OnlyTheFlagAndIndicatorChange) {
  StationPortState port{kNow, false};
  int redraws = 0;
  StationSupervision supervision(kTenMinutes, nullptr, [](int) { FAIL() << "no error expected"; });
  supervision.Check({&port, kMainPortTag, [&] { ++redraws; }}, kNow);
  EXPECT_TRUE(port.linkUp);
  EXPECT_EQ(redraws, 1);
}

TEST(StationSupervision, FailingCheckLogsCode9AndTheNextPortIsStillChecked) {
  Rig rig;
  rig.main.lastFrameTime = kNow;
  rig.second.lastFrameTime = kNow;
  rig.failSend = true;
  rig.Tick(kNow);
  EXPECT_EQ(rig.seen, (std::vector<std::string>{"redraw 31", "error 9", "redraw 32", "error 9"}));
  EXPECT_TRUE(rig.main.linkUp) << "the change made before the failure stands";
  rig.seen.clear();
  rig.failSend = false;
  rig.Tick(kNow);
  EXPECT_TRUE(rig.seen.empty()) << "the undelivered frame is not sent again";
}

TEST(StationSupervision, AFailingErrorLogEndsTheTick) {
  StationPortState port{kNow, false};
  StationSupervision supervision(
      kTenMinutes, [](p7::FrameType, std::int32_t) { throw std::runtime_error("send failed"); },
      [](int) { throw std::runtime_error("error.txt locked"); });
  EXPECT_THROW(supervision.Check({&port, kMainPortTag, nullptr}, kNow), std::runtime_error);
}

}  // namespace
}  // namespace vorel
