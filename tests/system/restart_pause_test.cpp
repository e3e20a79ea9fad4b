// A restart frame closes the main port for 5 s. That pause must not hold the
// rest of the driver: an alarm on the second port during it reaches both
// servers while the main port is still closed, and SIGTERM during it ends
// the program.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "program_env.h"
#include "protocol7_address.h"
#include "reference_servers.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::ChildProcess;
using test::Contents;
using test::WaitUntil;
using test::Occurrences;

class RestartPause : public ::testing::Test {
 protected:
  void SetUp() override {
    servers.Start();
    test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\n[portUSB]\nComPort=COM2\n[main]\nSendMivo7=1\nhost=" +
                                           p7Address.Text() + "\nPathForSoob=spool/\n[ServerHost]\nAddress=127.0.0.1\n"
                                           "Port=" + servers.P8Port() + "\n");
    fs::create_directory(dir / "spool");
    for (const char* port : {"COM1", "COM2"}) {
      stations[port] = std::make_unique<ChildProcess>(
          VOREL_STATION_SIM,
          std::vector<std::string>{"-d", (dir / "com").string(), "-p", port, "-o",
                                   (dir / (std::string(port) + ".txt")).string(), "-i"},
          dir.Path().string(), std::map<std::string, std::string>{},
          test::ChildIo{.stdinPipe = true, .stderrFile = {}});
      ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(dir / "com" / port); }, 10s));
    }
    auto env = test::ProgramEnv(dir);
    env["VOREL_STALL_PROBE"] = "1";
    driver = std::make_unique<ChildProcess>(VOREL_BINARY, std::vector<std::string>{}, dir.Path().string(), env);
    ASSERT_TRUE(WaitUntil(
        [&] {
          return Report("COM1").find("driver open") != std::string::npos &&
                 Report("COM2").find("driver open") != std::string::npos &&
                 servers.P7Seen().find(" type=ftHello(") != std::string::npos &&
                 servers.P8Seen().find("type=rtVersion(") != std::string::npos;
        },
        20s));
  }
  void TearDown() override {
    if (driver && driver->Running()) driver->Signal(SIGKILL);
  }

  std::string Report(const std::string& port) const { return Contents(dir / (port + ".txt")); }
  bool SecondPortAlarmAtBothServers() const {
    return servers.P7Seen().find("account=310007 ") != std::string::npos &&
           servers.P8Seen().find("account=310007 ") != std::string::npos;
  }

  test::TempDir dir;
  test::Protocol7Address p7Address;
  test::ReferenceServers servers{dir, p7Address.Text()};
  std::map<std::string, std::unique_ptr<ChildProcess>> stations;
  std::unique_ptr<ChildProcess> driver;
};

TEST_F(RestartPause, TheSecondPortIsServedWhileTheMainPortRestartsAndSigtermEndsThePause) {
  ASSERT_TRUE(stations["COM1"]->Type("restart"));
  ASSERT_TRUE(WaitUntil([&] { return Report("COM1").find("driver closed") != std::string::npos; }, 10s));
  ASSERT_TRUE(stations["COM2"]->Type("event2 0007 1 2"));
  ASSERT_TRUE(WaitUntil([&] { return SecondPortAlarmAtBothServers(); }, 10s));
  EXPECT_EQ(Occurrences(Report("COM1"), "driver open"), 1)
      << "the second port's alarm came through while the main port was still closed\n" << Report("COM1");

  // The pause ends by itself, and the main port is answered again.
  ASSERT_TRUE(WaitUntil([&] { return Occurrences(Report("COM1"), "driver open") == 2; }, 15s));
  const std::string status = Contents(dir / "vorel.status");
  static const std::regex stall("loop\\.longest_stall_ms=(\\d+)");
  std::smatch m;
  if (std::regex_search(status, m, stall)) {
    std::cout << "restart pause: the event loop's longest stall " << m[1] << " ms" << std::endl;
    ::testing::Test::RecordProperty("longest_stall_ms", m[1].str());
  }

  // A second restart, and SIGTERM in its pause.
  ASSERT_TRUE(stations["COM1"]->Type("restart"));
  ASSERT_TRUE(WaitUntil([&] { return Occurrences(Report("COM1"), "driver closed") == 2; }, 10s));
  driver->Signal(SIGTERM);
  EXPECT_EQ(driver->WaitForExit(5s), std::optional<int>(0)) << "SIGTERM ends the program during the pause";
}

}  // namespace
}  // namespace vorel
