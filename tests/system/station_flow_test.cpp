// The real program with the simulated station on a pseudo-terminal: frames
// are acknowledged, logged as received, and with no server up every event
// lands in the spool directory, ready for the replays.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "program_env.h"
#include "protocol7_address.h"
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

std::vector<std::string> SpoolFiles(const fs::path& dir, const std::string& extension) {
  std::vector<std::string> contents;
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.path().extension() == extension) contents.push_back(ReadFile(entry.path()));
  std::sort(contents.begin(), contents.end());
  return contents;
}

TEST(StationFlow, FramesAreAcknowledgedLoggedAndSpooledWhileNoServerIsUp) {
  TempDir dir;
  const test::Protocol7Address nobodyListens;  // not a demo's server on 127.0.0.1 either
  fs::create_directory(dir / "spool");
  test::WriteFile(dir / "vorel.ini", "[port]\r\nComPort=COM1\r\n[main]\r\nSendMivo7=1\r\nhost=" + nobodyListens.Text() +
                                         "\r\nPathForSoob=" + (dir / "spool").string() +
                                         "/\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=1\r\n");
  ChildProcess station(VOREL_STATION_SIM,
                       {"-d", (dir / "com").string(), "-p", "COM1", "-o", (dir / "station.txt").string(), "-e",
                        "wait-open; event 5011 E1; expect-ack 1 timeout 5000; wait 400; okay; "
                        "expect-ack 2 timeout 5000; wait 400; burst 3 0100 21; expect-ack 5 timeout 5000"},
                       dir.Path().string());
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(dir / "com" / "COM1"); }, 10s));
  test::Driver driver(dir);

  const auto stationStatus = station.WaitForExit(30s);
  ASSERT_TRUE(stationStatus.has_value());
  EXPECT_EQ(*stationStatus, 0) << ReadFile(dir / "station.txt");

  // Four events: one alone, three in one burst (each acknowledged), and the
  // keep-alive makes none. Protocol 8 spools 21-byte files, protocol 7
  // 555-byte frames, plus the restoration of the station link.
  ASSERT_TRUE(WaitUntil([&] { return SpoolFiles(dir / "spool", ".dd8").size() == 4; }, 10s));
  ASSERT_TRUE(WaitUntil([&] { return SpoolFiles(dir / "spool", ".ddm").size() == 5; }, 10s));
  for (const std::string& file : SpoolFiles(dir / "spool", ".dd8")) {
    ASSERT_EQ(file.size(), 21u);
    EXPECT_EQ(file.substr(0, 4), std::string("\x18\x00\x00\x03", 4));
  }
  int events = 0;
  int restored = 0;
  for (const std::string& frame : SpoolFiles(dir / "spool", ".ddm")) {
    ASSERT_EQ(frame.size(), 555u);
    EXPECT_EQ(frame.substr(0, 2), "\xFF\xFF");
    events += frame[2] == 21;
    restored += frame[2] == 73;
  }
  EXPECT_EQ(events, 4);
  EXPECT_EQ(restored, 1);

  const std::string log = ReadFile(dir / "vorel.log");
  EXPECT_NE(log.find("\n0115011 E1\r"), std::string::npos) << "the log holds the bytes as received";
  EXPECT_NE(log.find("OKAY"), std::string::npos);

  driver.Signal(SIGTERM);
  const auto driverStatus = driver.WaitForExit(20s);
  ASSERT_TRUE(driverStatus.has_value());
  EXPECT_EQ(*driverStatus, 0);
}

}  // namespace
}  // namespace vorel
