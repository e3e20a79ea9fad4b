// Faults the driver must live through without losing an alarm the station
// was told we took: servers that go away, hang, talk nonsense, deny access
// or never answer, the driver itself killed, a full, missing or impossible
// spool directory, the serial adapter pulled out, and frames crowded into
// one packet. One row per scenario, each its own test with its own time
// limit; each reports its counts (sent, delivered, spooled, lost, repeated)
// per link on a "fault ..." line.
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "black_hole_listener.h"
#include "fault_rig.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test::Contents;
using test::FaultCount;
using test::FaultRig;
using test::Greeted;
using test::LinkCount;
using test::Numbers;
using test::Occurrences;
using test::Joined;

// One scenario's rig and its time: every wait of the row ends by the row's
// deadline, so a row that hangs fails on the condition it was waiting for.
struct FaultRun {
  explicit FaultRun(std::chrono::seconds timeout) : deadline(Clock::now() + timeout) {}
  ~FaultRun() {
    if (spoolMounted) ::umount2(rig.spool.c_str(), MNT_DETACH);
  }
  template <class Condition>
  bool Within(Condition condition) const {
    return test::WaitUntil(condition, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
  }
  std::string DriverErrors() const { return Contents(rig.dir / "driver-err.txt"); }

  FaultRig rig;
  Clock::time_point deadline;
  std::unique_ptr<test::BlackHoleListener> blackHole;
  bool spoolMounted = false;
};

// Where every counted event of a link must be at the end.
enum class Kept { Delivered, Spooled, Either };
enum class End { StopDriver, KillDriver };

void ServersUp(FaultRun& run) {
  run.rig.servers.Start();
  run.rig.Configure();
}
// The same, with the fast replay of a sample installation.
void ServersUpFastReplay(FaultRun& run) {
  run.rig.servers.Start();
  run.rig.soobPerTick = 50;
  run.rig.Configure();
}
// Both servers down: every event must be spooled. (They run once to give
// the protocol-8 server its port.)
void ServersDown(FaultRun& run) {
  run.rig.servers.Start();
  run.rig.servers.Stop();
  run.rig.Configure();
}

struct FaultScenario {
  const char* name;              // the test's
  const char* report;            // the scenario on its "fault ..." line
  std::chrono::seconds timeout;  // for the whole row
  const char* script;            // the station's, once the driver is ready
  std::vector<int> events;       // the station's numbered events; all acknowledged before the end
  Kept p7;
  Kept p8;
  void (*prepare)(FaultRun&) = ServersUp;  // servers, configuration, spool directory
  void (*fault)(FaultRun&) = nullptr;      // while the station runs its script
  void (*check)(FaultRun&) = nullptr;      // once the events are where they belong
  Greeted greeted = {};                    // which servers' greeting shows that the driver is ready
  End end = End::StopDriver;               // KillDriver: counts what the station saw acknowledged
};

void PrintTo(const FaultScenario& scenario, std::ostream* out) { *out << scenario.name; }

// A third into the stream the protocol-8 server takes up `policy`; a server
// that went silent or deaf answers again after `silence`.
void Protocol8ServerTurns(FaultRun& run, const char* policy, std::chrono::seconds silence = 0s) {
  ASSERT_TRUE(run.Within([&] { return run.rig.P7Has(6); }));
  run.rig.servers.P8Command(std::string("policy ") + policy);
  if (silence > 0s) {
    std::this_thread::sleep_for(silence);
    run.rig.servers.P8Command("policy accept");
  }
}

// While nothing can keep the first event, the station hears no ACK: it sends
// the event again after 5 s instead of losing an acknowledged one.
void NoAckWhileNothingKeepsTheEvent(FaultRun& run) {
  EXPECT_TRUE(run.Within([&] { return run.DriverErrors().find("не записано в буфер") != std::string::npos; }))
      << "the failed spool write is reported";
  EXPECT_TRUE(run.Within([&] {
    return Contents(run.rig.dir / "station.txt").find(" resent event account=0001 ") != std::string::npos;
  }));
  EXPECT_EQ(run.rig.Acks(), 0);
}

// A tmpfs of `options` on the spool directory, filled up to the last byte
// (its "filler" file); skips the row where nothing can be mounted.
void FillSpoolDirectory(FaultRun& run, const char* options) {
  if (::mount("tmpfs", run.rig.spool.c_str(), "tmpfs", 0, options) != 0)
    GTEST_SKIP() << "no tmpfs mount here (needs root): " << std::strerror(errno);
  run.spoolMounted = true;
  std::ofstream filler(run.rig.spool / "filler", std::ios::binary);
  const std::string block(4096, 'x');
  while (filler.write(block.data(), block.size())) filler.flush();
}

// Both servers stop for 1.5 s after events 8, 16 and 24.
void ServersStoppedAndStartedThreeTimes(FaultRun& run) {
  for (int outage = 1; outage <= 3; ++outage) {
    ASSERT_TRUE(run.Within([&] { return run.rig.P8Has(outage * 8); })) << "outage " << outage;
    run.rig.servers.Stop();
    std::this_thread::sleep_for(1500ms);  // the outage
    run.rig.servers.Start();
  }
}

// A storm: the station sends each alarm as soon as the last one's ACK came,
// and the driver cuts each packet at its frame's end, the fast replay of a
// sample installation on.
void StormServersUp(FaultRun& run) {
  run.rig.cutAtFrameEnd = true;
  ServersUpFastReplay(run);
}

// Both servers stop for 0.8 s after 40, 80, 120 and 160 acknowledged alarms.
void ServersFlapDuringAStorm(FaultRun& run) {
  for (int outage = 1; outage <= 4; ++outage) {
    ASSERT_TRUE(run.Within([&] { return run.rig.Acks() >= outage * 40; })) << "outage " << outage;
    run.rig.servers.Stop();
    std::this_thread::sleep_for(800ms);
    run.rig.servers.Start();
  }
}

// The milliseconds of a server's lines that hold `part`, in order.
std::vector<long> TimesOf(const std::string& seen, const std::string& part) {
  static const std::regex time("^t=(\\d+) ");
  std::vector<long> times;
  std::istringstream in(seen);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (line.find(part) != std::string::npos && std::regex_search(line, m, time)) times.push_back(std::stol(m[1]));
  }
  return times;
}

// A server that answers every request 1.5 s late still gets every alarm,
// each settled by its own answer (none goes twice), over connections begun
// at least 5 s apart. The pace it allows is reported.
void EveryAlarmOnceWithoutAReconnectStorm(FaultRun& run) {
  // The last answers are still on their way when the last event is in.
  EXPECT_TRUE(run.Within([&] { return run.rig.SpoolFiles(".dd8") == 0; }));
  const std::string seen = run.rig.servers.P8Seen();
  const FaultCount count = run.rig.Count(Numbers(18));
  EXPECT_EQ(count.p8.repeated, 0) << seen;
  const std::vector<long> connects = TimesOf(seen, " connect conn=");
  for (std::size_t i = 1; i < connects.size(); ++i)
    // The server's clock reads each accept up to one poll turn late.
    EXPECT_GE(connects[i] - connects[i - 1], 5000 - 100) << "attempts " << i << " and " << i + 1 << "\n" << seen;
  const std::vector<long> events = TimesOf(seen, "type=rtEventMain(");
  ASSERT_GE(events.size(), 2u);
  const double seconds = static_cast<double>(events.back() - events.front()) / 1000.0;
  std::ostringstream figures;
  figures << "late server: " << events.size() << " alarms in " << seconds << " s ("
          << static_cast<double>(events.size() - 1) / seconds << " alarms/s), " << connects.size()
          << " connection attempts (" << 5000.0 * static_cast<double>(connects.size()) /
                                               static_cast<double>(events.back() - connects.front())
          << " per 5 s)";
  std::cout << figures.str() << std::endl;
  ::testing::Test::RecordProperty("late_server", figures.str());
}

// The event the server lost (its "forgot" line) went again and arrived.
void TheLostEventWentAgain(FaultRun& run) {
  const std::string seen = run.rig.servers.P8Seen();
  EXPECT_NE(seen.find(" forgot seq="), std::string::npos) << "the server lost one\n" << seen;
}

void SpoolReplayed(FaultRun& run) {
  // The files still in doubt go once the quiet connection has ended in order.
  EXPECT_TRUE(run.Within([&] { return fs::is_empty(run.rig.spool); })) << "the spooled events were replayed";
}

const FaultScenario kScenarios[] = {
    {.name = "ServersStoppedAndStartedThreeTimes",
     .report = "servers restarted 3 times",
     .timeout = 100s,
     .script = "stream 36 250",
     .events = Numbers(36),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered,
     .fault = ServersStoppedAndStartedThreeTimes,
     .check = SpoolReplayed},
    {.name = "ServersStoppedAndStartedThreeTimesFastReplay",
     .report = "servers restarted 3 times, SoobPerTick=50",
     .timeout = 100s,
     .script = "stream 36 250",
     .events = Numbers(36),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered,
     .prepare = ServersUpFastReplay,
     .fault = ServersStoppedAndStartedThreeTimes,
     .check = SpoolReplayed},
    {.name = "StormWhileBothServersFlap",
     .report = "storm of 240 alarms, each sent on the last one's ACK, CutAtFrameEnd=1, servers restarted 4 times",
     .timeout = 120s,
     .script = "stream 240 0",
     .events = Numbers(240),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered,
     .prepare = StormServersUp,
     .fault = ServersFlapDuringAStorm,
     .check = SpoolReplayed},
    {.name = "Protocol8ServerStopsAnsweringThenAnswersAgain",
     .report = "protocol-8 server stops answering mid-stream",
     .timeout = 60s,
     .script = "stream 18 250",
     .events = Numbers(18),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered,
     .fault = [](FaultRun& run) { Protocol8ServerTurns(run, "silent", 4s); }},
    {.name = "Protocol8ServerTurnsIntoABlackHoleThenHearsAgain",
     .report = "protocol-8 server turns into a black hole mid-stream, then hears again",
     .timeout = 60s,
     .script = "stream 18 250",
     .events = Numbers(18),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered,
     .fault = [](FaultRun& run) { Protocol8ServerTurns(run, "blackhole", 4s); }},
    // Answers that come after the driver's 1-s wait, then a server that
    // reads alarms and fails before it keeps them: a late answer must not be
    // taken for the answer to one of those, or its file goes and the alarm
    // with it. (A late answer is awaited and settles its own exchange; one
    // that never comes ends the connection 5 s after its request.)
    {.name = "Protocol8ServerAnswersLateThenFailsBeforeKeepingAlarms",
     .report = "protocol-8 server answers 1.2 s late (4 s), then forgets what it reads (3 s), then recovers",
     .timeout = 120s,
     .script = "stream 18 400",
     .events = Numbers(18),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered,
     .fault =
         [](FaultRun& run) {
           FaultRig& rig = run.rig;
           ASSERT_TRUE(run.Within([&] { return rig.P8Has(3); }));
           rig.servers.P8Command("policy late");
           std::this_thread::sleep_for(4s);
           // Late answers may still be on their way when it starts forgetting.
           rig.servers.P8Command("policy forget");
           std::this_thread::sleep_for(3s);
           rig.servers.P8Command("policy accept");
         }},
    {.name = "Protocol8ServerAnswersEveryRequestLate",
     .report = "protocol-8 server answers every request 1.5 s late, the whole run",
     .timeout = 150s,
     .script = "stream 18 400",
     .events = Numbers(18),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered,
     .prepare =
         [](FaultRun& run) {
           run.rig.servers.Start("late:1500");
           run.rig.Configure();
         },
     .check = EveryAlarmOnceWithoutAReconnectStorm},
    // A repeated answer waits in the connection before the next request: it
    // must not be taken for that request's answer, which never comes.
    {.name = "Protocol8ServerAnswersAnEventTwiceThenLosesTheNext",
     .report = "protocol-8 server answers an event twice, then loses the next unanswered",
     .timeout = 90s,
     .script = "stream 18 400",
     .events = Numbers(18),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered,
     .fault = [](FaultRun& run) { Protocol8ServerTurns(run, "twice"); },
     .check = TheLostEventWentAgain},
    {.name = "Protocol8ServerShedsAnEventWithDisconnect",
     .report = "protocol-8 server answers an event with rtDisconnect and keeps nothing",
     .timeout = 90s,
     .script = "stream 18 400",
     .events = Numbers(18),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered,
     .fault = [](FaultRun& run) { Protocol8ServerTurns(run, "shed"); },
     .check = TheLostEventWentAgain},
    {.name = "Protocol8ServerAnswersGarbageThenRecovers",
     .report = "protocol-8 server answers garbage, then recovers",
     .timeout = 60s,
     .script = "stream 18 250",
     .events = Numbers(18),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered,
     .prepare =
         [](FaultRun& run) {
           run.rig.servers.Start("garbage");
           run.rig.Configure();
         },
     .fault = [](FaultRun& run) { Protocol8ServerTurns(run, "accept"); }},
    {.name = "Protocol8ServerDeniesAccess",
     .report = "protocol-8 server denies access",
     .timeout = 60s,
     .script = "stream 18 250",
     .events = Numbers(18),
     .p7 = Kept::Delivered,
     .p8 = Kept::Spooled,  // kept for a server that lets the driver in
     .prepare =
         [](FaultRun& run) {
           run.rig.servers.Start("deny");
           run.rig.Configure();
         },
     .fault =
         [](FaultRun& run) {
           const auto seen = [&] { return run.rig.servers.P8Seen(); };
           ASSERT_TRUE(run.Within([&] { return seen().find("answer type=rtAccessDenied") != std::string::npos; }));
           // Attempts would follow each other 5 s apart: three intervals bring none.
           std::this_thread::sleep_for(16s);
           EXPECT_EQ(Occurrences(seen(), " connect conn="), 1) << "the denial ends the attempts for good\n" << seen();
         }},
    {.name = "DriverKilledMidStreamAndStartedAgain",
     .report = "driver killed with SIGKILL and started again",
     .timeout = 60s,
     .script = "stream 20 300",
     .events = Numbers(20),
     .p7 = Kept::Delivered,  // the spool files were replayed
     .p8 = Kept::Either,
     .prepare = ServersDown,
     .fault =
         [](FaultRun& run) {
           FaultRig& rig = run.rig;
           ASSERT_TRUE(run.Within([&] { return rig.SpoolFiles(".dd8") >= 6; }));
           rig.KillDriver();
           const int spooledAtKill = rig.SpoolFiles(".dd8");
           rig.servers.Start();
           rig.StartDriver();  // the station sends again what was not acknowledged
           EXPECT_TRUE(run.Within([&] { return rig.SpoolFiles(".dd8") < spooledAtKill; }))
               << "the .dd8 replay began";
         }},
    // With both links up and no room for any spool file, an alarm is safe
    // once its servers have it: protocol 7 when the server's TCP took the
    // frame, protocol 8 when the server answered its exchange. The ACK waits
    // for that answer without holding the event loop.
    {.name = "SpoolDirectoryFullWithBothLinksUp",
     .report = "spool directory full, both links up (ACK once the servers have each alarm)",
     .timeout = 60s,
     .script = "stream 12 250",
     .events = Numbers(12),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered,
     .prepare =
         [](FaultRun& run) {
           ASSERT_NO_FATAL_FAILURE(FillSpoolDirectory(run, "size=64k"));
           if (!run.spoolMounted) return;
           ServersUp(run);
         },
     .check =
         [](FaultRun& run) {
           EXPECT_NE(run.DriverErrors().find("не записано в буфер"), std::string::npos)
               << "each failed spool write is reported";
           fs::remove(run.rig.spool / "filler");  // room again, so the spool can be checked empty
         }},
    {.name = "SpoolDirectoryFullThenFreed",
     .report = "spool directory full, then freed (no ACK while full)",
     .timeout = 60s,
     .script = "stream 12 250",
     .events = Numbers(12),
     .p7 = Kept::Spooled,
     .p8 = Kept::Spooled,
     .prepare =
         [](FaultRun& run) {
           // Room for some 60 spool files once freed.
           ASSERT_NO_FATAL_FAILURE(FillSpoolDirectory(run, "size=256k"));
           if (!run.spoolMounted) return;
           ServersDown(run);
         },
     .fault =
         [](FaultRun& run) {
           NoAckWhileNothingKeepsTheEvent(run);
           fs::remove(run.rig.spool / "filler");  // space returns
         }},
    {.name = "SpoolDirectoryThatCannotBeMadeThenCan",
     .report = "spool directory that cannot be made, then can (no ACK meanwhile)",
     .timeout = 60s,
     .script = "stream 6 200",
     .events = Numbers(6),
     .p7 = Kept::Spooled,
     .p8 = Kept::Spooled,
     .prepare =
         [](FaultRun& run) {
           ServersDown(run);
           test::WriteFile(run.rig.dir / "blocker", "a file where the spool directory's parent should be");
           run.rig.Configure("blocker/spool/");
           run.rig.spool = run.rig.dir / "blocker" / "spool";
         },
     .fault =
         [](FaultRun& run) {
           NoAckWhileNothingKeepsTheEvent(run);
           fs::remove(run.rig.dir / "blocker");
           fs::create_directories(run.rig.spool);
         },
     .check =
         [](FaultRun& run) {
           EXPECT_EQ(run.rig.SpoolFiles(".dd8"), 6);
           // The six events; the station link's restoration frame came while
           // the directory could not be made (reported: the station does not
           // send it again).
           EXPECT_GE(run.rig.SpoolFiles(".ddm"), 6);
         }},
    {.name = "SpoolDirectoryThatDoesNotExistIsMade",
     .report = "spool directory missing",
     .timeout = 40s,
     .script = "stream 4 250",
     .events = Numbers(4),
     .p7 = Kept::Spooled,
     .p8 = Kept::Spooled,
     .prepare =
         [](FaultRun& run) {
           ServersDown(run);
           fs::remove(run.rig.spool);
         }},
    {.name = "SerialAdapterPulledOutAndPluggedInAgain",
     .report = "serial device unplugged and back",
     // The line goes away and a new one appears under the same name; the
     // driver opens it again by itself within 5 s.
     .timeout = 60s,
     .script = "stream 6 250; close; wait 2000; reopen; wait-open timeout 15000; stream 6 250 7",
     .events = Numbers(12),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered},
    {.name = "FramesCloserTogetherThanThePacketTimeOut",
     .report = "burst of 50 frames closer than the packet time-out",
     // 20 frames 50 ms apart, then 30 in a single write (cut into 256-byte
     // packets, one frame split across two of them).
     .timeout = 40s,
     .script = "numbered 20 50; wait 1000; burst 30 101 E1",
     .events = Joined(Numbers(20), Numbers(30, 101)),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered},
    // The same with packets cut at a frame's end: the frames 50 ms apart go
    // one packet each, the burst is still cut into 256-byte packets and the
    // frame split between two of them joined again.
    {.name = "FramesCloserTogetherThanThePacketTimeOutCutAtFrameEnd",
     .report = "burst of 50 frames closer than the packet time-out, CutAtFrameEnd=1",
     .timeout = 40s,
     .script = "numbered 20 50; wait 1000; burst 30 101 E1",
     .events = Joined(Numbers(20), Numbers(30, 101)),
     .p7 = Kept::Delivered,
     .p8 = Kept::Delivered,
     .prepare =
         [](FaultRun& run) {
           run.rig.cutAtFrameEnd = true;
           ServersUp(run);
         }},
    // The protocol-7 server stops reading while alarms are acknowledged (its
    // small receive buffer soon full, the rest waits in the driver's kernel),
    // then resets its connection as a restarting host would. What the
    // driver's kernel held was never at the server: those files stay and go
    // again on the next connection. Only what the server's system had taken
    // in unread may be lost.
    {.name = "Protocol7ServerStopsReadingThenResets",
     .report = "protocol-7 server stops reading, then resets its connection",
     .timeout = 90s,
     .script = "stream 40 150",
     .events = Numbers(40),
     .p7 = Kept::Either,
     .p8 = Kept::Delivered,
     .prepare =
         [](FaultRun& run) {
           run.rig.servers.p7Options = {"--receive-buffer", "4096"};
           run.rig.servers.Start();
           run.rig.Configure();
         },
     .fault =
         [](FaultRun& run) {
           ASSERT_TRUE(run.Within([&] { return run.rig.P7Has(4); }));
           run.rig.servers.P7Command("stall");
           ASSERT_TRUE(run.Within([&] { return run.rig.Acks() >= 30; }));
           run.rig.servers.P7Command("reset");
           run.rig.servers.P7Command("resume");
         },
     .check =
         [](FaultRun& run) {
           EXPECT_TRUE(run.Within([&] { return run.rig.P7HasAll(Numbers(4)) && run.rig.P7Has(40); }));
         }},
    // A message server the network cannot reach (a multicast address is
    // refused at once, as a network not up yet at boot is): every protocol-7
    // attempt fails silently, and the rest of the start-up and the station
    // go on as usual.
    {.name = "Protocol7ServerUnreachable",
     .report = "protocol-7 server unreachable (ENETUNREACH at every attempt)",
     .timeout = 40s,
     .script = "stream 6 250",
     .events = Numbers(6),
     .p7 = Kept::Spooled,
     .p8 = Kept::Delivered,
     .prepare =
         [](FaultRun& run) {
           run.rig.servers.Start();
           test::WriteFile(run.rig.dir / "vorel.ini",
                           "[port]\nComPort=COM1\n[main]\nSendMivo7=1\nhost=224.0.0.1\nPathForSoob=spool/\n"
                           "[ServerHost]\nAddress=127.0.0.1\nPort=" + run.rig.servers.P8Port() + "\n");
         },
     .check =
         [](FaultRun& run) {
           EXPECT_EQ(run.DriverErrors().find("vorel: error:"), std::string::npos) << run.DriverErrors();
           const std::string status = Contents(run.rig.dir / "vorel.status");
           EXPECT_NE(status.find("protocol8=up\n"), std::string::npos) << status;
           EXPECT_NE(status.find("protocol7=down\n"), std::string::npos) << status;
         },
     .greeted = {.p7 = false}},
    // While the protocol-8 server's address does not answer, the link counts
    // as up for each 2.5-s attempt, and the events of that time were queued
    // in memory only: a kill took them although the station had its ACK.
    {.name = "Protocol8ServerThatNeverAnswersAndTheDriverKilled",
     .report = "protocol-8 server that never answers, driver killed",
     .timeout = 60s,
     .script = "stream 40 200",
     .events = Numbers(20),  // long enough for several attempts
     .p7 = Kept::Either,
     .p8 = Kept::Spooled,
     .prepare =
         [](FaultRun& run) {
           run.blackHole = std::make_unique<test::BlackHoleListener>("127.0.0.1");
           ASSERT_NE(run.blackHole->Port(), 0);
           run.rig.servers.Start();  // protocol 7 answers; protocol 8 goes to the black hole
           test::WriteFile(run.rig.dir / "vorel.ini",
                           "[port]\nComPort=COM1\n[main]\nSendMivo7=1\nhost=" + run.rig.p7Address.Text() +
                               "\nPathForSoob=spool/\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                               std::to_string(run.blackHole->Port()) + "\n");
         },
     .greeted = {.p8 = false},
     .end = End::KillDriver},
};

void ExpectKept(Kept kept, const LinkCount& count, std::size_t events, const char* link) {
  if (kept == Kept::Delivered) {
    EXPECT_EQ(count.delivered, static_cast<int>(events)) << link;
  } else if (kept == Kept::Spooled) {
    EXPECT_EQ(count.spooled, static_cast<int>(events)) << link;
  }
}

class Faults : public ::testing::TestWithParam<FaultScenario> {};

TEST_P(Faults, NoAcknowledgedEventIsLost) {
  const FaultScenario& scenario = GetParam();
  FaultRun run(scenario.timeout);
  FaultRig& rig = run.rig;
  ASSERT_NO_FATAL_FAILURE(scenario.prepare(run));
  if (IsSkipped()) return;
  ASSERT_NO_FATAL_FAILURE(rig.StartStation());
  rig.StartDriver();
  ASSERT_NO_FATAL_FAILURE(rig.Begin(scenario.script, scenario.greeted));
  if (scenario.fault) {
    ASSERT_NO_FATAL_FAILURE(scenario.fault(run));
  }

  const long events = static_cast<long>(scenario.events.size());
  ASSERT_TRUE(run.Within([&] { return rig.Acks() >= events; }))
      << Contents(rig.dir / "station.txt") << run.DriverErrors();
  if (scenario.p7 == Kept::Delivered) {
    EXPECT_TRUE(run.Within([&] { return rig.P7HasAll(scenario.events); })) << "protocol 7";
  }
  if (scenario.p8 == Kept::Delivered) {
    EXPECT_TRUE(run.Within([&] { return rig.P8HasAll(scenario.events); })) << "protocol 8";
  }
  if (scenario.check) {
    ASSERT_NO_FATAL_FAILURE(scenario.check(run));
  }
  // Once every event is where it belongs, nothing is left to replay: a spool
  // file left behind would be a repeat to come, or an event stuck. The
  // protocol-7 files still in doubt go when the driver ends the quiet
  // connection in order.
  if (scenario.p7 != Kept::Spooled && scenario.p8 != Kept::Spooled && scenario.end == End::StopDriver) {
    if (scenario.p7 == Kept::Either) {
      EXPECT_TRUE(run.Within([&] { return rig.P7HasAll(scenario.events); })) << "protocol 7, nothing lost";
    }
    EXPECT_TRUE(run.Within([&] { return rig.SpoolFiles(".ddm") == 0 && rig.SpoolFiles(".dd8") == 0; }))
        << "the spool drained: " << rig.SpoolFiles(".ddm") << " .ddm, " << rig.SpoolFiles(".dd8") << " .dd8 left\n"
        << rig.servers.P8Seen() << run.DriverErrors();
  }

  std::vector<int> counted = scenario.events;
  if (scenario.end == End::KillDriver) {
    rig.KillDriver();
    counted = rig.Station().acknowledged;
  } else {
    EXPECT_TRUE(rig.DriverRunning());
    if (scenario.p7 == Kept::Delivered) {
      // Its files in doubt go once the quiet connection has ended in order.
      EXPECT_TRUE(run.Within([&] { return rig.SpoolFiles(".ddm") == 0; })) << "protocol-7 files left";
    }
    rig.StopDriver();
    // The metrics count every event at its server (its spool file removed
    // for the server's acknowledgement or answer).
    const std::string metrics = Contents(rig.dir / "vorel.prom");
    const auto delivered = [&](const char* protocol) {
      const std::regex line(std::string("vorel_delivered_total\\{protocol=\"") + protocol + "\"\\} (\\d+)");
      std::smatch m;
      return std::regex_search(metrics, m, line) ? std::stol(m[1]) : -1L;
    };
    if (scenario.p7 == Kept::Delivered) {
      EXPECT_GE(delivered("7"), static_cast<long>(counted.size())) << metrics;
    }
    if (scenario.p8 == Kept::Delivered) {
      EXPECT_GE(delivered("8"), static_cast<long>(counted.size())) << metrics;
    }
  }
  const FaultCount c = rig.CountAndReport(scenario.report, counted);
  if (scenario.end == End::StopDriver) rig.ExpectCountersAddUp(c.p7.lost == 0 && c.p8.lost == 0);
  EXPECT_EQ(c.p7.lost, 0) << c.p7.lostAccounts;
  EXPECT_EQ(c.p8.lost, 0) << c.p8.lostAccounts;
  EXPECT_EQ(c.p7.corrupted, 0);
  EXPECT_EQ(c.p8.corrupted, 0);
  ExpectKept(scenario.p7, c.p7, counted.size(), "protocol 7");
  ExpectKept(scenario.p8, c.p8, counted.size(), "protocol 8");
}

INSTANTIATE_TEST_SUITE_P(Scenario, Faults, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<FaultScenario>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorel
