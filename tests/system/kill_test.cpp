// The driver killed with SIGKILL at random moments, again and again, while
// the station streams events and both servers flap: stopped, hanging (the
// connection stays open but nothing is read or answered), the protocol-7
// server hanging and then resetting its connection, the protocol-8 server
// answering 1.5 s late for a whole flap, answering an event twice and losing
// the next, or shedding an event with rtDisconnect, started again. An ACK
// tells the station that its alarm is safe, so at the end, with both servers
// up and the spool directory drained, every event the station saw
// acknowledged must have reached both servers. Repeats are allowed; the only
// frames protocol 7 may lose are those its server's system took in and the
// server never read before a reset (it has no acknowledgement of its own).
//
// The same once more with a storm: the station sends each alarm as soon as
// the last one's ACK came and the driver cuts each packet at its frame's
// end (CutAtFrameEnd=1), so every kill falls among alarms a few milliseconds
// apart.
//
// VOREL_KILL_TEST_SEED repeats a run (each run prints its seed);
// VOREL_KILL_TEST_KILLS changes the number of kills (50, or 15 under
// AddressSanitizer; the storm run 15, or 6).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fault_rig.h"
#include "support/sanitizers.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::FaultCount;
using test::FaultRig;
using test::WaitUntil;
using test::EnvironmentNumber;

#ifdef VOREL_UNDER_ASAN
constexpr int kDefaultKills = 15;
constexpr int kDefaultStormKills = 6;
#else
constexpr int kDefaultKills = 50;
constexpr int kDefaultStormKills = 15;
#endif

// Both servers answering, stopped, or hanging one or both.
enum class ServerState {
  Up, Stopped, P7Hangs, P7HangsThenResets, P8Hangs, P8AnswersLate, P8AnswersTwice, P8ShedsAnEvent, BothHang
};

// Moves the servers between their states; every outage ends in Up before the
// next begins, so a hanging server reads what waited for it before it stops.
class FlappingServers {
 public:
  explicit FlappingServers(FaultRig& rig) : rig_(rig) {}

  void Change(std::mt19937& random) {
    if (state_ != ServerState::Up) {
      SetUp();
      return;
    }
    static constexpr ServerState kOutages[] = {ServerState::Stopped, ServerState::P7Hangs,
                                               ServerState::P7HangsThenResets, ServerState::P8Hangs,
                                               ServerState::P8AnswersLate, ServerState::P8AnswersTwice,
                                               ServerState::P8ShedsAnEvent, ServerState::BothHang};
    state_ = kOutages[std::uniform_int_distribution<std::size_t>(0, std::size(kOutages) - 1)(random)];
    if (state_ == ServerState::Stopped) rig_.StopServers();
    if (state_ == ServerState::P7Hangs || state_ == ServerState::P7HangsThenResets ||
        state_ == ServerState::BothHang)
      rig_.servers.P7Command("stall");
    if (state_ == ServerState::P8Hangs || state_ == ServerState::BothHang) rig_.servers.P8Command("policy blackhole");
    if (state_ == ServerState::P8AnswersLate) rig_.servers.P8Command("policy late:1500");
    if (state_ == ServerState::P8AnswersTwice) rig_.servers.P8Command("policy twice");
    if (state_ == ServerState::P8ShedsAnEvent) rig_.servers.P8Command("policy shed");
    ++outages_;
  }
  void SetUp() {
    if (state_ == ServerState::Stopped) rig_.servers.Start();
    if (state_ == ServerState::P7HangsThenResets) rig_.servers.P7Command("reset");
    if (state_ == ServerState::P7Hangs || state_ == ServerState::P7HangsThenResets ||
        state_ == ServerState::BothHang)
      rig_.servers.P7Command("resume");
    // (twice and shed go back to accept by themselves once they are done)
    if (state_ == ServerState::P8Hangs || state_ == ServerState::P8AnswersLate || state_ == ServerState::BothHang ||
        state_ == ServerState::P8AnswersTwice || state_ == ServerState::P8ShedsAnEvent)
      rig_.servers.P8Command("policy accept");
    state_ = ServerState::Up;
  }
  bool Up() const { return state_ == ServerState::Up; }
  int Outages() const { return outages_; }

 private:
  FaultRig& rig_;
  ServerState state_ = ServerState::Up;
  int outages_ = 0;
};

std::string SpoolNames(const FaultRig& rig) {
  std::string names;
  std::error_code gone;  // the driver may delete a file meanwhile
  for (const auto& entry : std::filesystem::directory_iterator(rig.spool))
    names += " " + entry.path().filename().string() + " (" + std::to_string(entry.file_size(gone)) + " bytes)";
  return names;
}

TEST(StationReport, AnEventIsAcknowledgedWhenAnAckFollowsItsLastSendingBeforeTheNext) {
  const struct {
    const char* what;
    const char* report;
    std::vector<int> sent;
    std::vector<int> acknowledged;
  } cases[] = {
      {"each event acknowledged",
       "t=3600 open path=/dev/pts/3\n"
       "t=3700 sent event account=0001 code=E1 seq=1/3 bytes=15\n"
       "t=3905 ack total=1\n"
       "t=4005 sent event account=0002 code=E1 seq=2/3 bytes=15\n"
       "t=4210 ack total=2\n",
       {1, 2}, {1, 2}},
      {"the driver was killed before the ACK: the event is sent again and acknowledged then",
       "t=100 sent event account=0007 code=E1 seq=7/9 bytes=15\n"
       "t=150 driver closed\n"
       "t=900 driver open\n"
       "t=5100 resent event account=0007 code=E1 seq=7/9 bytes=15\n"
       "t=5300 ack total=6\n",
       {7}, {7}},
      {"the last event has no ACK yet",
       "t=100 sent event account=0001 code=E1 seq=1/2 bytes=15\n"
       "t=300 ack total=1\n"
       "t=400 sent event account=0002 code=E1 seq=2/2 bytes=15\n"
       "t=5400 resent event account=0002 code=E1 seq=2/2 bytes=15\n"
       "t=6000 stop signal=15\n",
       {1, 2}, {1}},
      {"an ACK before the first event, other bytes and other lines count for nothing",
       "t=50 ack total=1\n"
       "t=60 rx bytes=1 hex=15 other=1\n"
       "t=100 sent event2 account=0003 d1=0 d2=0 bytes=15\n"
       "t=200 sent event account=0004 code=E1 seq=1/1 bytes=15\n"
       "t=250 rx bytes=1 hex=15 other=2\n",
       {4}, {}},
      {"an ACK after the next event was sent belongs to the next one",
       "t=100 sent event account=0011 code=E1 seq=1/2 bytes=15\n"
       "t=5100 resent event account=0011 code=E1 seq=1/2 bytes=15\n"
       "t=5300 ack total=3\n"
       "t=5400 sent event account=0012 code=E1 seq=2/2 bytes=15\n"
       "t=5401 ack total=4\n",
       {11, 12}, {11, 12}},
      {"an ACK of an earlier sending does not cover a later one",
       "t=100 sent event account=0021 code=E1 seq=1/1 bytes=15\n"
       "t=200 ack total=1\n"
       "t=5100 resent event account=0021 code=E1 seq=1/1 bytes=15\n",
       {21}, {}},
  };
  for (const auto& c : cases) {
    const test::StationView view = test::ReadStationReport(c.report);
    EXPECT_EQ(view.sent, c.sent) << c.what;
    EXPECT_EQ(view.acknowledged, c.acknowledged) << c.what;
  }
}

struct KillRun {
  const char* what;    // on the report line
  const char* stream;  // the station's
  std::size_t events;  // in the stream
  bool cutAtFrameEnd;
  int defaultKills;
};

void KillAgainAndAgain(const KillRun& run) {
  const unsigned long seed = EnvironmentNumber("VOREL_KILL_TEST_SEED", std::random_device{}());
  const int kills = static_cast<int>(EnvironmentNumber("VOREL_KILL_TEST_KILLS", run.defaultKills));
  std::cout << "kill test" << run.what << ": seed=" << seed << " kills=" << kills << std::endl;
  ::testing::Test::RecordProperty("seed", std::to_string(seed));
  std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
  const auto between = [&](int low, int high) {
    return std::chrono::milliseconds(std::uniform_int_distribution<int>(low, high)(random));
  };
  const auto chance = [&](double p) { return std::bernoulli_distribution(p)(random); };

  FaultRig rig;
  // A small receive window, so that a hanging protocol-7 server leaves most
  // frames in the driver's kernel, as a slow or dead path does.
  rig.servers.p7Options = {"--receive-buffer", "4096"};
  rig.servers.Start();
  // The fast replay of a sample installation: each restart and each server's
  // return sends its backlog a window at a time, live events first.
  rig.soobPerTick = 50;
  rig.cutAtFrameEnd = run.cutAtFrameEnd;
  rig.Configure();
  ASSERT_NO_FATAL_FAILURE(rig.StartStation());
  FlappingServers servers(rig);

  for (int kill = 1; kill <= kills; ++kill) {
    rig.StartDriver();
    // The stream (more than the test will ever send) begins once the first
    // driver is ready.
    if (kill == 1) {
      ASSERT_NO_FATAL_FAILURE(rig.Begin(run.stream));
    }
    const auto started = Clock::now();
    // From a kill during the start-up to one deep in the stream, after the
    // station's 5-second resend.
    const auto life = between(300, 5000);
    if (chance(servers.Up() ? 0.35 : 0.6)) {
      std::this_thread::sleep_until(started + between(0, static_cast<int>(life.count())));
      servers.Change(random);
    }
    std::this_thread::sleep_until(started + life);
    rig.KillDriver();
  }

  // The end: servers up, the driver takes a few more events, then the
  // station stops and the driver empties its spool directory.
  servers.SetUp();
  rig.StartDriver();
  const std::size_t acknowledgedAtKills = rig.Station().acknowledged.size();
  // A storm can send its whole stream before the last kill: then the driver
  // has only the events still waiting for their ACK to take.
  const auto takesEvents = [&] {
    const test::StationView now = rig.Station();
    const std::set<int> all(now.acknowledged.begin(), now.acknowledged.end());
    return now.acknowledged.size() >= acknowledgedAtKills + 3 || all.size() >= run.events;
  };
  EXPECT_TRUE(WaitUntil(takesEvents, 30s)) << "the driver takes events after the last kill";
  rig.StopStation();
  const test::StationView station = rig.Station();
  const auto drained = [&] { return rig.SpoolFiles(".ddm") + rig.SpoolFiles(".dd8") == 0; };
  // The protocol-8 replay sends one file every 3 s.
  const auto drainTime = std::chrono::seconds(30 + 4 * rig.SpoolFiles(".dd8"));
  WaitUntil([&] { return rig.P7HasAll(station.acknowledged) && rig.P8HasAll(station.acknowledged); }, drainTime);
  // The protocol-7 files still in doubt (the server's kernel may hold them
  // unread) go once the driver has ended the quiet connection in order.
  EXPECT_TRUE(WaitUntil(drained, 30s)) << "left after " << drainTime.count() << " s:" << SpoolNames(rig);
  EXPECT_TRUE(rig.DriverRunning());
  rig.StopDriver();
  // A file the driver was writing when it was killed (never named, so no
  // spool file) holds no acknowledged event: it is removed at the next start.
  EXPECT_TRUE(std::filesystem::is_empty(rig.spool)) << "left in the spool directory:" << SpoolNames(rig);

  const std::string scenario =
      "driver killed " + std::to_string(kills) + " times" + run.what + " with SIGKILL while both servers flap " +
      std::to_string(servers.Outages()) + " times (seed " + std::to_string(seed) + "; counted: the " +
      std::to_string(station.acknowledged.size()) + " of " + std::to_string(station.sent.size()) +
      " events sent that the station saw acknowledged)";
  const FaultCount c = rig.CountAndReport(scenario, station.acknowledged);
  EXPECT_GE(c.sent, kills / 2) << "too few events acknowledged for the kills to mean much";
  EXPECT_EQ(c.p7.lost, 0) << c.p7.lostAccounts;
  EXPECT_EQ(c.p8.lost, 0) << c.p8.lostAccounts;
  EXPECT_EQ(c.p7.delivered + c.p7.lost, c.sent) << "every acknowledged event at the protocol-7 server";
  EXPECT_EQ(c.p8.delivered, c.sent) << "every acknowledged event at the protocol-8 server";
  EXPECT_EQ(c.p7.corrupted, 0);
  EXPECT_EQ(c.p8.corrupted, 0);
  // The last driver ended by SIGTERM and wrote its final metrics: its own
  // frames add up, whatever its killed forerunners left undone.
  rig.ExpectCountersAddUp(c.p7.lost == 0 && c.p8.lost == 0);
}

TEST(KillTest, NoAcknowledgedEventIsLostWhenTheDriverIsKilledAgainAndAgain) {
  KillAgainAndAgain({.what = "", .stream = "stream 9000 100", .events = 9000, .cutAtFrameEnd = false, .defaultKills = kDefaultKills});
}

TEST(KillTest, NoAcknowledgedEventIsLostWhenTheDriverIsKilledAgainAndAgainInAStorm) {
  KillAgainAndAgain({.what = " in a storm (each alarm sent on the last one's ACK, CutAtFrameEnd=1)",
                     .stream = "stream 9000 0",
                     .events = 9000,
                     .cutAtFrameEnd = true,
                     .defaultKills = kDefaultStormKills});
}

}  // namespace
}  // namespace vorel
