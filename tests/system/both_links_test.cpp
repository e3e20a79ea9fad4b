// The whole road of an alarm: the simulated station on a pseudo-terminal,
// the real program, and both reference servers on loopback. The event
// reaches each server with its account and code; the protocol-8 server
// acknowledges it and nothing is left in the spool directory.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "program_env.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::ChildProcess;
using test::ReadFile;
using test::TempDir;
using test::WaitUntil;

using test::Contents;
using test::ListeningPort;

TEST(BothLinks, AnAlarmReachesBothServers) {
  TempDir dir;
  fs::create_directory(dir / "spool");
  ChildProcess p8(VOREL_P8_SERVER, {"--no-stdin", "--policy", "accept", "-o", (dir / "p8.txt").string(), "127.0.0.1", "0"},
                  dir.Path().string());
  ChildProcess p7(VOREL_P7_SERVER, {"--no-stdin", "-o", (dir / "p7.txt").string(), "127.0.0.73", "7788"},
                  dir.Path().string());
  ASSERT_TRUE(WaitUntil([&] { return !ListeningPort(dir / "p8.txt").empty(); }, 10s));
  ASSERT_TRUE(WaitUntil([&] { return !ListeningPort(dir / "p7.txt").empty(); }, 10s));
  test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\n[main]\nSendMivo7=1\nhost=127.0.0.73\nPathForSoob=" +
                                         (dir / "spool").string() + "/\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                                         ListeningPort(dir / "p8.txt") + "\n");

  ChildProcess station(VOREL_STATION_SIM,
                       {"-d", (dir / "com").string(), "-o", (dir / "station.txt").string(), "-e",
                        "wait-open; wait 3500; event 0002 E1; expect-ack 1 timeout 5000; hold"},
                       dir.Path().string());
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(dir / "com" / "COM1"); }, 10s));
  test::Driver driver(dir);

  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string text = Contents(dir / "p8.txt");
        return text.find("rtEventMain") != std::string::npos && text.find("account=310002") != std::string::npos;
      },
      20s))
      << Contents(dir / "p8.txt");
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string text = Contents(dir / "p7.txt");
        return text.find("ftEvent") != std::string::npos && text.find("account=310002") != std::string::npos;
      },
      20s))
      << Contents(dir / "p7.txt");
  const std::string p8Text = Contents(dir / "p8.txt");
  EXPECT_NE(p8Text.find("rtHello"), std::string::npos) << "the handshake came first";
  EXPECT_NE(p8Text.find("port1=COM1 open1=1"), std::string::npos);
  EXPECT_TRUE(WaitUntil([&] { return fs::is_empty(dir / "spool"); }, 10s)) << "nothing waits in the spool";

  driver.Signal(SIGTERM);
  const auto status = driver.WaitForExit(20s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  station.Signal(SIGTERM);
  p7.Signal(SIGTERM);
  p8.Signal(SIGTERM);
}

}  // namespace
}  // namespace vorel
