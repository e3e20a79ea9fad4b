// Faults the driver must live through without losing an alarm: servers that
// go away, hang or talk nonsense, the driver itself killed, a full or missing
// spool directory, the serial adapter pulled out, and frames crowded into
// one packet. Every scenario reports its counts (sent, delivered, spooled,
// lost) per link.
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fault_rig.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::FaultCount;
using test::FaultRig;
using test::Numbers;
using test::WaitUntil;

void ExpectNothingLost(const FaultCount& c) {
  EXPECT_EQ(c.p7.lost, 0) << c.p7.lostAccounts;
  EXPECT_EQ(c.p8.lost, 0) << c.p8.lostAccounts;
  EXPECT_EQ(c.p7.corrupted, 0);
  EXPECT_EQ(c.p8.corrupted, 0);
}

TEST(Faults, ServersStoppedAndStartedSeveralTimesDuringTheStream) {
  FaultRig rig("127.0.0.91");
  rig.servers.Start();
  rig.Configure();
  const int kEvents = 36;
  rig.StartStation("stream 36 250");
  rig.StartDriver();
  for (int outage = 1; outage <= 3; ++outage) {
    ASSERT_TRUE(WaitUntil([&] { return rig.P8Has(outage * 8); }, 40s)) << "outage " << outage;
    rig.servers.Stop();
    std::this_thread::sleep_for(1500ms);
    rig.servers.Start();
  }
  ASSERT_TRUE(rig.WaitForAcks(kEvents, 60s));
  // The protocol-7 spool drains five files a second; protocol 8 one file
  // every 3 s, so some may still wait at the end: they count as spooled.
  EXPECT_TRUE(WaitUntil([&] { return rig.P7HasAll(Numbers(kEvents)); }, 30s));
  std::this_thread::sleep_for(5s);
  rig.StopDriver();
  const FaultCount c = rig.CountAndReport("servers restarted 3 times", Numbers(kEvents));
  ExpectNothingLost(c);
  EXPECT_EQ(c.p7.delivered, kEvents);
}

TEST(Faults, Protocol8ServerThatHangsTalksNonsenseOrDenies) {
  const struct {
    const char* scenario;
    const char* address;
    const char* startPolicy;
    const char* thenPolicy;  // after a third of the stream; nullptr: none
    bool expectAllDelivered;
  } cases[] = {
      {"protocol-8 server stops answering mid-stream", "127.0.0.92", "accept", "silent", true},
      {"protocol-8 server turns into a black hole mid-stream, then hears again", "127.0.0.163", "accept", "blackhole",
       true},
      {"protocol-8 server answers garbage, then recovers", "127.0.0.93", "garbage", "accept", true},
      {"protocol-8 server denies access", "127.0.0.94", "deny", nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    FaultRig rig(c.address);
    rig.servers.Start(c.startPolicy);
    rig.Configure();
    const int kEvents = 18;
    rig.StartStation("stream 18 250");
    rig.StartDriver();
    ASSERT_TRUE(WaitUntil([&] { return rig.P7Has(6); }, 40s));
    if (c.thenPolicy) rig.servers.P8Command(std::string("policy ") + c.thenPolicy);
    if (const std::string then = c.thenPolicy ? c.thenPolicy : ""; then == "silent" || then == "blackhole") {
      std::this_thread::sleep_for(4s);
      rig.servers.P8Command("policy accept");  // and it answers again
    }
    ASSERT_TRUE(rig.WaitForAcks(kEvents, 60s));
    EXPECT_TRUE(WaitUntil([&] { return rig.P7HasAll(Numbers(kEvents)); }, 20s));
    if (c.expectAllDelivered) {
      EXPECT_TRUE(WaitUntil([&] { return rig.P8HasAll(Numbers(kEvents)); }, 30s));
    }
    EXPECT_TRUE(rig.DriverRunning());
    rig.StopDriver();
    const FaultCount count = rig.CountAndReport(c.scenario, Numbers(kEvents));
    ExpectNothingLost(count);
    if (!c.expectAllDelivered) {
      EXPECT_EQ(count.p8.delivered, 0);
      EXPECT_EQ(count.p8.spooled, kEvents) << "kept for a server that lets the driver in";
    }
  }
}

TEST(Faults, DriverKilledMidStreamAndStartedAgain) {
  FaultRig rig("127.0.0.95");
  rig.servers.Start();
  rig.servers.Stop();  // down: the events go to the spool directory
  rig.Configure();
  const int kEvents = 20;
  rig.StartStation("stream 20 300");
  rig.StartDriver();
  ASSERT_TRUE(WaitUntil([&] { return rig.SpoolFiles(".dd8") >= 6; }, 40s));
  rig.KillDriver();
  const int spooledAtKill = rig.SpoolFiles(".dd8");
  rig.servers.Start();
  std::this_thread::sleep_for(1s);
  rig.StartDriver();  // the station sends again what was not acknowledged
  ASSERT_TRUE(rig.WaitForAcks(kEvents, 60s));
  EXPECT_TRUE(WaitUntil([&] { return rig.P7HasAll(Numbers(kEvents)); }, 30s)) << "the spool files were replayed";
  EXPECT_TRUE(WaitUntil([&] { return rig.SpoolFiles(".dd8") < spooledAtKill; }, 20s)) << "and the .dd8 replay began";
  rig.StopDriver();
  const FaultCount c = rig.CountAndReport("driver killed with SIGKILL and started again", Numbers(kEvents));
  ExpectNothingLost(c);
  EXPECT_EQ(c.p7.delivered, kEvents);
}

TEST(Faults, SpoolDirectoryFullThenFreed) {
  FaultRig rig("127.0.0.96");
  // A 256 KiB file system (room for some 60 spool files), filled up to the last byte.
  if (::mount("tmpfs", rig.spool.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "no tmpfs mount here (needs root): " << std::strerror(errno);
  struct Unmount {
    fs::path dir;
    ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
  } unmount{rig.spool};
  {
    std::ofstream filler(rig.spool / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size())) filler.flush();
  }
  rig.servers.Start();
  rig.servers.Stop();  // down: every event must be spooled
  rig.Configure();
  rig.StartStation("stream 12 250");
  rig.StartDriver();
  // Nothing can keep the first event: the station hears no ACK and keeps it.
  // It used to be acknowledged and lost.
  EXPECT_TRUE(WaitUntil(
      [&] { return test::Contents(rig.dir / "driver-err.txt").find("не записано в буфер") != std::string::npos; },
      40s))
      << "the failed spool write is reported";
  std::this_thread::sleep_for(6s);  // the station sends it again meanwhile
  EXPECT_EQ(rig.Acks(), 0);
  fs::remove(rig.spool / "filler");  // space returns
  ASSERT_TRUE(rig.WaitForAcks(12, 60s)) << test::Contents(rig.dir / "station.txt")
                                        << test::Contents(rig.dir / "driver-err.txt");
  EXPECT_TRUE(rig.DriverRunning());
  rig.StopDriver();
  const FaultCount c = rig.CountAndReport("spool directory full, then freed (no ACK while full)", Numbers(12));
  ExpectNothingLost(c);
  EXPECT_EQ(c.p7.spooled, 12);
  EXPECT_EQ(c.p8.spooled, 12);
}

TEST(Faults, SpoolDirectoryThatDoesNotExistIsMade) {
  FaultRig rig("127.0.0.97");
  rig.servers.Start();
  rig.servers.Stop();
  fs::remove(rig.spool);
  rig.Configure();
  rig.StartStation("stream 4 250");
  rig.StartDriver();
  ASSERT_TRUE(rig.WaitForAcks(4, 40s));
  rig.StopDriver();
  const FaultCount c = rig.CountAndReport("spool directory missing", Numbers(4));
  ExpectNothingLost(c);
  EXPECT_EQ(c.p8.spooled, 4);
}

TEST(Faults, SerialAdapterPulledOutAndPluggedInAgain) {
  FaultRig rig("127.0.0.98");
  rig.servers.Start();
  rig.Configure();
  // The line goes away and a new one appears under the same name; the
  // driver opens it again by itself within 5 s.
  rig.StartStation("stream 6 250; close; wait 2000; reopen; wait-open timeout 15000; wait 500; stream 6 250 7");
  rig.StartDriver();
  ASSERT_TRUE(rig.WaitForAcks(12, 60s)) << test::Contents(rig.dir / "station.txt");
  EXPECT_TRUE(WaitUntil([&] { return rig.P7HasAll(Numbers(12)) && rig.P8HasAll(Numbers(12)); }, 20s));
  rig.StopDriver();
  const FaultCount c = rig.CountAndReport("serial device unplugged and back", Numbers(12));
  ExpectNothingLost(c);
}

TEST(Faults, FramesCloserTogetherThanThePacketTimeOut) {
  FaultRig rig("127.0.0.99");
  rig.servers.Start();
  rig.Configure();
  // 20 frames 50 ms apart, then 30 in a single write (cut into 256-byte
  // packets, one frame split across two of them).
  rig.StartStation("numbered 20 50; wait 1000; burst 30 101 E1");
  rig.StartDriver();
  std::vector<int> numbers = Numbers(20);
  for (int n : Numbers(30, 101)) numbers.push_back(n);
  EXPECT_TRUE(WaitUntil([&] { return rig.P7HasAll(numbers) && rig.P8HasAll(numbers); }, 40s));
  rig.StopDriver();
  const FaultCount c = rig.CountAndReport("burst of 50 frames closer than the packet time-out", numbers);
  ExpectNothingLost(c);
  EXPECT_EQ(c.p7.delivered, 50);
  EXPECT_EQ(c.p8.delivered, 50);
}

}  // namespace
}  // namespace vorel
