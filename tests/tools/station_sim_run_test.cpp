// The built simulator against a test that plays the driver: it publishes its
// line as COM1, sends exact frames, counts the ACK written back, reports it
// and ends with the right status, taking its link down on every way out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "station_frames.h"
#include "support/child_process.h"

namespace vorel::station {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::WaitUntil;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorel-sim-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The port as the driver holds it: raw, non-blocking, marked exclusive.
class DriverSide {
 public:
  explicit DriverSide(const std::filesystem::path& link) {
    fd_ = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
    ioctl(fd_, TIOCEXCL);
  }
  ~DriverSide() {
    if (fd_ < 0) return;
    ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  DriverSide(const DriverSide&) = delete;
  DriverSide& operator=(const DriverSide&) = delete;

  bool Ok() const { return fd_ >= 0; }

  // What the station sent, until `count` bytes came or `timeout` passed.
  Bytes Read(std::size_t count, std::chrono::milliseconds timeout) {
    Bytes got;
    WaitUntil(
        [&] {
          std::uint8_t buffer[256];
          const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
          if (n > 0) got.insert(got.end(), buffer, buffer + n);
          return got.size() >= count;
        },
        timeout);
    return got;
  }

  bool Write(const Bytes& bytes) {
    return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  bool HungUp() {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0;
  }

 private:
  int fd_ = -1;
};

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The line without its "t=<ms> " stamp.
std::string Event(const std::string& line) { return line.substr(line.find(' ') + 1); }

std::vector<std::string> Events(const std::filesystem::path& report) {
  std::vector<std::string> events;
  for (const std::string& line : Lines(ReadFile(report))) events.push_back(Event(line));
  return events;
}

bool Has(const std::vector<std::string>& events, const std::string& event) {
  return std::find(events.begin(), events.end(), event) != events.end();
}

class StationSimRun : public ::testing::Test {
 protected:
  std::filesystem::path ComDir() const { return dir_.Path() / "com"; }
  std::filesystem::path Link() const { return ComDir() / "COM1"; }
  std::filesystem::path ReportPath() const { return dir_.Path() / "report.txt"; }

  std::unique_ptr<ChildProcess> Start(std::vector<std::string> commands) {
    std::vector<std::string> args{"-d", ComDir().string(), "-o", ReportPath().string()};
    args.insert(args.end(), commands.begin(), commands.end());
    return std::make_unique<ChildProcess>(VOREL_STATION_SIM, args, dir_.Path().string());
  }

  bool Published() const { return std::filesystem::is_symlink(Link()); }

  TempDir dir_;
};

TEST_F(StationSimRun, SendsTheExactFrameAndReportsTheDriversAck) {
  auto sim = Start({"wait-open timeout 5000", "event 5011 E1", "expect-ack 1 timeout 5000"});
  ASSERT_TRUE(WaitUntil([&] { return Published(); }, 5s)) << "COM1 never published";
  EXPECT_TRUE(std::filesystem::read_symlink(Link()).string().starts_with("/dev/pts/"));
  {
    DriverSide driver(Link());
    ASSERT_TRUE(driver.Ok());
    EXPECT_EQ(driver.Read(kMainEventFrameSize, 5s), MainEventFrame("5011", "E1"));
    ASSERT_TRUE(driver.Write(Bytes{'Z', kAck}));
    ASSERT_EQ(sim->WaitForExit(10s), 0);
  }
  const auto events = Events(ReportPath());
  EXPECT_TRUE(Has(events, "driver open"));
  EXPECT_TRUE(Has(events, "sent event account=5011 code=E1 bytes=12"));
  EXPECT_TRUE(Has(events, "rx bytes=1 hex=5a other=1"));
  EXPECT_TRUE(Has(events, "ack total=1"));
  EXPECT_TRUE(Has(events, "expect-ack ok total=1 want=1"));
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "summary sent=1 acks=1 other=1 sent_bytes=12");
  EXPECT_FALSE(Published()) << "the link outlived the simulator";
}

TEST_F(StationSimRun, MissingAckFailsWithStatusOne) {
  auto sim = Start({"okay", "expect-ack 1 timeout 200"});
  ASSERT_EQ(sim->WaitForExit(10s), 1);
  const auto events = Events(ReportPath());
  EXPECT_TRUE(Has(events, "expect-ack fail total=0 want=1 timeout_ms=200"));
  EXPECT_EQ(events.back(), "summary sent=1 acks=0 other=0 sent_bytes=9");
  EXPECT_FALSE(Published());
}

TEST_F(StationSimRun, HoldEndsOnSigtermWithStatusZeroAndTakesTheLinkDown) {
  auto sim = Start({"hold"});
  ASSERT_TRUE(WaitUntil([&] { return Published() && sim->Catches(SIGTERM); }, 5s));
  sim->Signal(SIGTERM);
  ASSERT_EQ(sim->WaitForExit(10s), 0);
  EXPECT_FALSE(Published());
  const auto events = Events(ReportPath());
  EXPECT_TRUE(Has(events, "stop signal=" + std::to_string(SIGTERM)));
  EXPECT_EQ(events.back(), "summary sent=0 acks=0 other=0 sent_bytes=0");
}

TEST_F(StationSimRun, SignalDuringAWaitIsNoSuccess) {
  auto sim = Start({"wait 60000"});
  ASSERT_TRUE(WaitUntil([&] { return Published() && sim->Catches(SIGINT); }, 5s));
  sim->Signal(SIGINT);
  ASSERT_EQ(sim->WaitForExit(10s), 128 + SIGINT);
  EXPECT_FALSE(Published());
}

TEST_F(StationSimRun, CloseHangsUpTheDriverAndReopenPublishesAFreshLine) {
  auto sim = Start({"wait-open timeout 5000", "close", "wait 300", "reopen", "wait-open timeout 5000",
                    "event 1 E1", "expect-ack 1 timeout 5000"});
  ASSERT_TRUE(WaitUntil([&] { return Published(); }, 5s));
  {
    DriverSide unplugged(Link());
    ASSERT_TRUE(unplugged.Ok());
    EXPECT_TRUE(WaitUntil([&] { return unplugged.HungUp(); }, 5s)) << "the driver's side never hung up";
  }
  const auto reopened = [&] {
    int opens = 0;
    for (const std::string& event : Events(ReportPath())) opens += event.starts_with("open path=") ? 1 : 0;
    return opens == 2 && Published();
  };
  ASSERT_TRUE(WaitUntil(reopened, 5s)) << "no second line published";
  DriverSide driver(Link());
  ASSERT_TRUE(driver.Ok());
  EXPECT_EQ(driver.Read(kMainEventFrameSize, 5s), MainEventFrame("0001", "E1"));
  ASSERT_TRUE(driver.Write(Bytes{kAck}));
  ASSERT_EQ(sim->WaitForExit(10s), 0);
  EXPECT_TRUE(Has(Events(ReportPath()), "close"));
}

TEST_F(StationSimRun, APacedFrameArrivesWholeAndInOrder) {
  // At 1200 bit/s the frame goes out byte by byte over 100 ms.
  std::vector<std::string> args{"-d", ComDir().string(), "-o", ReportPath().string(), "--baud", "1200",
                                "wait-open timeout 5000", "event 5011 E1", "event2 0120 F 3", "expect-ack 1 timeout 5000"};
  ChildProcess sim(VOREL_STATION_SIM, args, dir_.Path().string());
  ASSERT_TRUE(WaitUntil([&] { return Published(); }, 5s)) << "COM1 never published";
  DriverSide driver(Link());
  ASSERT_TRUE(driver.Ok());
  Bytes expected = MainEventFrame("5011", "E1");
  const Bytes second = SecondPortFrame("0120", 'F', '3');
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(driver.Read(expected.size(), 10s), expected);
  ASSERT_TRUE(driver.Write(Bytes{kAck}));
  EXPECT_EQ(sim.WaitForExit(10s), 0);
}

TEST_F(StationSimRun, ABaudRateThatIsNoRateIsRefused) {
  for (const char* rate : {"0", "fast", "9600x", "49", "4000001"}) {
    ChildProcess sim(VOREL_STATION_SIM, {"--baud", rate, "okay"}, dir_.Path().string());
    EXPECT_EQ(sim.WaitForExit(10s), 2) << rate;
  }
  EXPECT_FALSE(std::filesystem::exists(ComDir()));
}

TEST_F(StationSimRun, BadCommandIsRefusedBeforeAnythingIsPublished) {
  auto sim = Start({"event 5011 E1", "expect-ack one"});
  ASSERT_EQ(sim->WaitForExit(10s), 2);
  EXPECT_FALSE(std::filesystem::exists(ComDir()));
  EXPECT_FALSE(std::filesystem::exists(ReportPath()));
}

}  // namespace
}  // namespace vorel::station
