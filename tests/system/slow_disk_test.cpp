// A slow disk (a memory card, a network share): every fsync takes 300 ms
// more, through a shim in front of the C library. The event loop hands the
// flushes to the spool's thread and never waits for them, so the second
// port's alarms still reach both servers and the loop keeps turning; its
// longest stall is printed (a figure for the README, not a timed check).
// The same while a backlog is replayed and every read of a file is slow too:
// the spool's thread reads the files, the loop only picks and sends them.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "fault_rig.h"
#include "p7/frame.h"
#include "p8/record_types.h"
#include "program_env.h"
#include "receiver/event_record.h"
#include "protocol7_address.h"
#include "reference_servers.h"
#include "support/child_process.h"
#include "support/spooled_alarm.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::ChildProcess;
using test::Contents;
using test::WaitUntil;

std::size_t Lines(const std::string& text, const std::vector<std::string>& marks) {
  std::size_t count = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    count += std::all_of(marks.begin(), marks.end(),
                         [&](const std::string& mark) { return line.find(mark) != std::string::npos; });
  return count;
}

TEST(SlowDisk, SecondPortAlarmsReachBothServersWhileEveryFsyncTakes300Ms) {
  test::TempDir dir;
  test::Protocol7Address p7Address;
  test::ReferenceServers servers{dir, p7Address.Text()};
  servers.Start();
  test::WriteFile(dir / "vorel.ini", "[portUSB]\nComPort=COM2\n[main]\nSendMivo7=1\nhost=" + p7Address.Text() +
                                         "\nPathForSoob=spool/\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                                         servers.P8Port() + "\n");
  fs::create_directory(dir / "spool");
  ChildProcess station(VOREL_STATION_SIM,
                       {"-d", (dir / "com").string(), "-p", "COM2", "-o", (dir / "station.txt").string(), "-i"},
                       dir.Path().string(), {}, test::ChildIo{.stdinPipe = true, .stderrFile = {}});
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(dir / "com" / "COM2"); }, 10s));

  auto env = test::ProgramEnv(dir);
  env["LD_PRELOAD"] = VOREL_SLOW_FSYNC_SHIM;
  env["VOREL_SLOW_FSYNC_MS"] = "300";
  env["VOREL_STALL_PROBE"] = "1";
  // A sanitizer's runtime wants to come first; the shim only wraps two calls.
  env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
  ChildProcess driver(VOREL_BINARY, {}, dir.Path().string(), env);
  ASSERT_TRUE(station.Type("wait-open"));
  ASSERT_TRUE(WaitUntil(
      [&] {
        return Contents(dir / "station.txt").find("driver open") != std::string::npos &&
               servers.P7Seen().find(" connect ") != std::string::npos &&
               servers.P8Seen().find("type=rtVersion(") != std::string::npos;
      },
      30s));

  // Twelve alarms, one every 100 ms: two files each, every one of whose
  // flushes takes 300 ms.
  constexpr std::size_t kAlarms = 12;
  ASSERT_TRUE(station.Type("numbered2 " + std::to_string(kAlarms) + " 100"));
  const auto p7 = [&] { return Lines(servers.P7Seen(), {" type=ftEvent(", " port=32 "}); };
  const auto p8 = [&] { return Lines(servers.P8Seen(), {" request type=rtEventSecond("}); };
  EXPECT_TRUE(WaitUntil([&] { return p7() >= kAlarms && p8() >= kAlarms; }, 90s))
      << "protocol 7: " << p7() << ", protocol 8: " << p8();

  driver.Signal(SIGTERM);
  EXPECT_EQ(driver.WaitForExit(30s), std::optional<int>(0));
  static const std::regex stall("loop\\.longest_stall_ms=(\\d+)");
  const std::string status = Contents(dir / "vorel.status");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(status, m, stall)) << status;
  const std::string line = "slow disk (every fsync 300 ms): " + std::to_string(kAlarms) +
                           " second-port alarms at both servers | longest stall " + m[1].str() + " ms";
  std::cout << line << std::endl;
  ::testing::Test::RecordProperty("slow_disk", line);
}

// The spool an outage left: for each number an alarm of the main port in a
// .ddm and a .dd8 file, oldest first by name.
void WriteBacklog(const fs::path& spool, const std::vector<int>& numbers) {
  for (std::size_t i = 0; i < numbers.size(); ++i)
    test::WriteSpooledAlarm(spool, static_cast<int>(i), test::AccountOf(numbers[i]));
}

TEST(SlowDisk, ABacklogIsReplayedAndLiveAlarmsGoWhileEveryFsyncAndSpoolReadIsSlow) {
  constexpr int kBacklog = 300;  // alarms, each in a file of each kind
  constexpr int kLive = 10;
  test::FaultRig rig;
  rig.soobPerTick = 50;
  rig.servers.Start();
  rig.Configure();
  const std::vector<int> backlog = test::Numbers(kBacklog, 1001);
  WriteBacklog(rig.spool, backlog);
  rig.driverEnv = {{"LD_PRELOAD", VOREL_SLOW_FSYNC_SHIM},
                   {"VOREL_SLOW_FSYNC_MS", "300"},
                   {"VOREL_SLOW_READ_MS", "5"},
                   {"VOREL_SLOW_READ_PATH", fs::canonical(rig.spool).string()},
                   {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
  ASSERT_NO_FATAL_FAILURE(rig.StartStation());
  rig.StartDriver();
  ASSERT_NO_FATAL_FAILURE(rig.Begin("numbered " + std::to_string(kLive) + " 300"));

  std::vector<int> all = test::Numbers(kLive);
  all.insert(all.end(), backlog.begin(), backlog.end());
  const auto delivered = [&] {
    return rig.P7HasAll(all) && rig.P8HasAll(all) && rig.SpoolFiles(".ddm") == 0 && rig.SpoolFiles(".dd8") == 0;
  };
  EXPECT_TRUE(WaitUntil(delivered, 240s)) << "every alarm at both servers, none left in the spool\n"
                                          << Contents(rig.dir / "driver-err.txt");
  ASSERT_NO_FATAL_FAILURE(rig.StopDriver());
  const std::string line = "slow disk (every fsync 300 ms, every spool file read 5 ms): " + std::to_string(kBacklog) +
                           " spooled alarms of each kind replayed at SoobPerTick=50 and " + std::to_string(kLive) +
                           " live ones at both servers | longest stall " + std::to_string(rig.LongestStallMs()) +
                           " ms";
  std::cout << line << std::endl;
  ::testing::Test::RecordProperty("slow_disk_replay", line);
}

}  // namespace
}  // namespace vorel
