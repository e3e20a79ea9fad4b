// The second port's station sends its frames back to back while it has
// alarms, and nothing answers it, so it never sends one again. The port cuts
// that stream every 256 bytes or 200 ms after a packet's first byte, wherever
// the cut falls; every frame must still reach both servers, once.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
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
using test::TempDir;
using test::WaitUntil;

// The simulator's second-port frame for account n: "011", the account, a
// blank, details "00", three blanks, LF, CR.
std::string StationFrame(int n) {
  char text[16];
  std::snprintf(text, sizeof text, "011%04d 00   \n\r", n);
  return text;
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0x0F];
  }
  return hex;
}

// The accounts of the events in a server's output, in the order printed:
// the lines that hold every one of `marks`.
std::vector<int> Accounts(const std::string& output, const std::vector<std::string>& marks) {
  static const std::regex account("account=(\\d+)");
  std::vector<int> accounts;
  std::istringstream in(output);
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    const bool marked =
        std::all_of(marks.begin(), marks.end(), [&](const std::string& mark) { return line.find(mark) != std::string::npos; });
    if (marked && std::regex_search(line, m, account)) accounts.push_back(std::stoi(m[1]));
  }
  return accounts;
}

std::vector<int> AccountRange(int first, int last) {
  std::vector<int> accounts;
  for (int n = first; n <= last; ++n) accounts.push_back(310000 + n);
  return accounts;
}

class SecondPortStream : public ::testing::Test {
 protected:
  void SetUp() override {
    servers.Start();
    test::WriteFile(dir / "vorel.ini", "[portUSB]\nComPort=COM2\n[main]\nSendMivo7=1\nhost=" + p7Address.Text() +
                                           "\nPathForSoob=spool/\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                                           servers.P8Port() + "\n");
    fs::create_directory(dir / "spool");
    station = std::make_unique<ChildProcess>(
        VOREL_STATION_SIM,
        std::vector<std::string>{"-d", (dir / "com").string(), "-p", "COM2", "-o", (dir / "station.txt").string(), "-i"},
        dir.Path().string(), std::map<std::string, std::string>{}, test::ChildIo{.stdinPipe = true, .stderrFile = {}});
    ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(dir / "com" / "COM2"); }, 10s));
    driver = std::make_unique<test::Driver>(dir);
    ASSERT_TRUE(station->Type("wait-open"));
    // Both links up, so that each event goes out as it comes.
    ASSERT_TRUE(WaitUntil(
        [&] {
          return Contents(dir / "station.txt").find("driver open") != std::string::npos &&
                 servers.P7Seen().find(" connect ") != std::string::npos &&
                 servers.P8Seen().find("type=rtVersion(") != std::string::npos;
        },
        20s));
  }
  void TearDown() override {
    if (driver) {
      driver->Signal(SIGTERM);
      const auto status = driver->WaitForExit(20s);
      EXPECT_EQ(status, std::optional<int>(0));
    }
  }

  std::vector<int> P7Events() const { return Accounts(servers.P7Seen(), {" type=ftEvent(", " port=32 "}); }
  std::vector<int> P8Events() const { return Accounts(servers.P8Seen(), {" request type=rtEventSecond("}); }
  // Both servers hold at least `count` second-port events.
  bool BothHave(std::size_t count) const { return P7Events().size() >= count && P8Events().size() >= count; }

  TempDir dir;
  test::Protocol7Address p7Address;
  test::ReferenceServers servers{dir, p7Address.Text()};
  std::unique_ptr<ChildProcess> station;
  std::unique_ptr<test::Driver> driver;
};

TEST_F(SecondPortStream, EveryFrameReachesBothServersOnceWhateverTheCut) {
  // 200 frames in one go: the port cuts them every 256 bytes, 17 frames and
  // a byte, so from the first packet on every packet starts inside a frame.
  constexpr int kBackToBack = 200;
  ASSERT_TRUE(station->Type("numbered2 " + std::to_string(kBackToBack) + " 0"));
  ASSERT_TRUE(WaitUntil([&] { return BothHave(kBackToBack); }, 60s))
      << "protocol 7: " << P7Events().size() << ", protocol 8: " << P8Events().size();
  std::string sent;
  for (int n = 1; n <= kBackToBack; ++n) sent += StationFrame(n);

  // Then line noise and 200 more frames, in pieces of random size; after some
  // pieces the line stays quiet until the port's time-out cuts the packet
  // there, in the middle of a frame as often as not.
  constexpr int kCut = 200;
  const std::string noise = "\r\n\rzz\n";
  std::string stream = noise;
  for (int n = kBackToBack + 1; n <= kBackToBack + kCut; ++n) stream += StationFrame(n);
  std::mt19937 random(152);
  std::uniform_int_distribution<std::size_t> pieceSize(1, 60);
  std::uniform_int_distribution<int> quiet(0, 3);
  std::size_t at = 0;
  while (at < stream.size()) {
    // A group of pieces at a time, at most 70 frames, so that the
    // protocol-8 queue keeps up.
    std::string commands;
    const std::size_t groupEnd = std::min(stream.size(), at + 70 * 15);
    while (at < groupEnd) {
      const std::size_t n = std::min(pieceSize(random), groupEnd - at);
      commands += "raw " + Hex(std::string_view(stream).substr(at, n)) + "; ";
      if (quiet(random) == 0) commands += "wait 300; ";
      at += n;
    }
    ASSERT_TRUE(station->Type(commands));
    const std::size_t complete = kBackToBack + (at - noise.size()) / 15;
    ASSERT_TRUE(WaitUntil([&] { return BothHave(complete); }, 60s))
        << "sent " << complete << "; protocol 7: " << P7Events().size() << ", protocol 8: " << P8Events().size();
  }
  sent += stream;

  constexpr int kAll = kBackToBack + kCut;
  EXPECT_EQ(P7Events(), AccountRange(1, kAll)) << "each once, in order";
  std::vector<int> p8 = P8Events();
  std::sort(p8.begin(), p8.end());  // a record the queue refused comes back from its spool file later
  EXPECT_EQ(p8, AccountRange(1, kAll)) << "each once";
  EXPECT_EQ(Contents(dir / "vorelu.log"), sent) << "the traffic log holds the bytes as received";
}

}  // namespace
}  // namespace vorel
