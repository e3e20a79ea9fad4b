// The real program while the servers misbehave: restarted in the middle of a
// stream, denying access, or taking replayed events without acknowledging
// them. No event may be lost, and spool files go only when the server has
// the event.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "program_env.h"
#include "reference_servers.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::ChildProcess;
using test::Contents;
using test::ListeningPort;
using test::TempDir;
using test::ReferenceServers;
using test::WaitUntil;

void WriteConfig(const TempDir& dir, const std::string& p7Address, const std::string& p8Port) {
  test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\n[main]\nSendMivo7=1\nhost=" + p7Address +
                                         "\nPathForSoob=" + (dir / "spool").string() +
                                         "/\n[ServerHost]\nAddress=127.0.0.1\nPort=" + p8Port + "\n");
}

// The numbered accounts 310001 … 3100NN that a server's output lacks.
std::vector<int> Missing(const std::string& seen, const std::string& eventType, int count) {
  std::vector<int> missing;
  for (int n = 1; n <= count; ++n) {
    const std::string account = "account=" + std::to_string(310000 + n);
    bool found = false;
    for (std::size_t at = seen.find(account); at != std::string::npos && !found; at = seen.find(account, at + 1)) {
      const std::size_t line = seen.rfind('\n', at);
      found = seen.find(eventType, line == std::string::npos ? 0 : line) < at;
    }
    if (!found) missing.push_back(n);
  }
  return missing;
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

std::string Numbers(const std::vector<int>& numbers) {
  std::string text;
  for (int n : numbers) text += std::to_string(n) + " ";
  return text;
}

void EndDriver(test::Driver& driver) {
  driver.Signal(SIGTERM);
  const auto status = driver.WaitForExit(20s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
}

TEST(ServerRecovery, ServersRestartedInTheMiddleOfAStreamLoseNoEvent) {
  TempDir dir;
  fs::create_directory(dir / "spool");
  ReferenceServers servers(dir, "127.0.0.74");
  servers.Start();
  WriteConfig(dir, "127.0.0.74", servers.P8Port());
  constexpr int kEvents = 24;
  ChildProcess station(VOREL_STATION_SIM,
                       {"-d", (dir / "com").string(), "-o", (dir / "station.txt").string(), "-e",
                        "wait-open; wait 3500; numbered " + std::to_string(kEvents) +
                            " 400; expect-ack 24 timeout 30000; hold"},
                       dir.Path().string());
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(dir / "com" / "COM1"); }, 10s));
  test::Driver driver(dir);

  // Both servers go down a few events into the stream and come back while
  // it still runs.
  ASSERT_TRUE(WaitUntil([&] { return servers.P8Seen().find("account=310006") != std::string::npos; }, 30s))
      << servers.P8Seen();
  servers.Stop();
  std::this_thread::sleep_for(2500ms);
  servers.Start();

  EXPECT_TRUE(WaitUntil([&] { return Missing(servers.P7Seen(), "ftEvent", kEvents).empty(); }, 60s))
      << "protocol 7 lacks " << Numbers(Missing(servers.P7Seen(), "ftEvent", kEvents));
  EXPECT_TRUE(WaitUntil([&] { return Missing(servers.P8Seen(), "rtEventMain", kEvents).empty(); }, 60s))
      << "protocol 8 lacks " << Numbers(Missing(servers.P8Seen(), "rtEventMain", kEvents));
  EXPECT_TRUE(WaitUntil([&] { return fs::is_empty(dir / "spool"); }, 20s)) << "the spooled events were replayed";
  EndDriver(driver);
}

TEST(ServerRecovery, AccessDeniedEndsTheConnectionAttemptsForGood) {
  TempDir dir;
  ReferenceServers servers(dir, "127.0.0.75");
  servers.Start("deny");
  WriteConfig(dir, "127.0.0.75", servers.P8Port());
  test::Driver driver(dir);

  ASSERT_TRUE(WaitUntil([&] { return servers.P8Seen().find("answer type=rtAccessDenied") != std::string::npos; }, 20s))
      << servers.P8Seen();
  // Attempts follow each other 5 s apart: three intervals bring none.
  std::this_thread::sleep_for(16s);
  EXPECT_EQ(Occurrences(servers.P8Seen(), " connect conn="), 1u) << servers.P8Seen();
  EXPECT_TRUE(driver.Running());
  EndDriver(driver);
}

TEST(ServerRecovery, AReplayedEventFileStaysUntilTheServerAcknowledgesIt) {
  TempDir dir;
  fs::create_directory(dir / "spool");
  ReferenceServers servers(dir, "127.0.0.76");
  // The protocol-8 server is down: the event goes to a .dd8 file.
  servers.Start();
  const std::string port = servers.P8Port();
  servers.Stop();
  WriteConfig(dir, "127.0.0.76", port);
  ChildProcess station(VOREL_STATION_SIM,
                       {"-d", (dir / "com").string(), "-o", (dir / "station.txt").string(), "-e",
                        "wait-open; wait 3500; event 0007 E1; expect-ack 1 timeout 5000; hold"},
                       dir.Path().string());
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(dir / "com" / "COM1"); }, 10s));
  test::Driver driver(dir);
  const auto spooled = [&](const std::string& ext) {
    for (const auto& entry : fs::directory_iterator(dir / "spool"))
      if (entry.path().extension() == ext) return true;
    return false;
  };
  ASSERT_TRUE(WaitUntil([&] { return spooled(".dd8"); }, 20s));

  // A server that takes everything and answers nothing: the replayed record
  // reaches it, more than once, and the file stays.
  servers.Start("silent");
  ASSERT_TRUE(WaitUntil([&] { return Occurrences(servers.P8SeenInRun(2), "account=310007") >= 2; }, 30s))
      << servers.P8SeenInRun(2);
  EXPECT_TRUE(spooled(".dd8"));
  servers.Stop();

  // A server that acknowledges: the file goes.
  servers.Start("accept");
  EXPECT_TRUE(WaitUntil([&] { return !spooled(".dd8"); }, 40s)) << servers.P8SeenInRun(3);
  EXPECT_NE(servers.P8SeenInRun(3).find("answer type=rtEventMainAck"), std::string::npos);
  EndDriver(driver);
}

}  // namespace
}  // namespace vorel
