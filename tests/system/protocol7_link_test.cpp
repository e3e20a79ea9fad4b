// The real program against a message server on loopback: it greets the
// server, delivers the station's events, replays what it spooled while the
// server was down, and obeys the server's clock and close frames.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "base/bytes.h"
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

constexpr std::size_t kFrame = 555;

// A message server of the test's own on its loopback address, port 7788.
class MessageServer {
 public:
  explicit MessageServer(const std::string& address) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(7788);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 4) != 0)
      ADD_FAILURE() << "cannot listen on " << address << ":7788";
  }
  ~MessageServer() {
    if (client_ >= 0) close(client_);
    close(listener_);
  }

  bool Accept(std::chrono::milliseconds timeout) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
    client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return client_ >= 0;
  }
  // The next whole frame, or an empty one when none came in time.
  std::string Frame(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (buffer_.size() < kFrame) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{client_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) return {};
      char chunk[4096];
      const ssize_t n = recv(client_, chunk, sizeof chunk, 0);
      if (n <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    std::string frame = buffer_.substr(0, kFrame);
    buffer_.erase(0, kFrame);
    return frame;
  }
  // Closes for sending, having read what came: an orderly end.
  void EndInOrder() {
    shutdown(client_, SHUT_WR);
    close(client_);
    client_ = -1;
    buffer_.clear();
  }
  void Send(std::uint8_t type, double dateTime = 0) {
    Bytes frame(kFrame, 0);
    frame[0] = frame[1] = 0xFF;
    frame[2] = type;
    PutLE(std::span(frame), 3 + 27, dateTime);
    ASSERT_EQ(send(client_, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(kFrame));
  }

 private:
  int listener_ = -1;
  int client_ = -1;
  std::string buffer_;
};

TEST(Protocol7Link, SpoolThenReplayThenLiveThenClockAndClose) {
  TempDir dir;
  const test::Protocol7Address address;
  fs::create_directory(dir / "spool");
  test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\n[main]\nSendMivo7=1\nSendMivo8=0\nhost=" + address.Text() +
                                         "\nPathForSoob=" + (dir / "spool").string() + "/\n");
  ChildProcess station(VOREL_STATION_SIM,
                       {"-d", (dir / "com").string(), "-o", (dir / "station.txt").string(), "-e",
                        "wait-open; event 0001 E1; expect-ack 1 timeout 5000; hold"},
                       dir.Path().string());
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(dir / "com" / "COM1"); }, 10s));
  test::Driver driver(dir);

  // No server yet: the event and the station's restoration wait as files.
  auto spooled = [&] {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir / "spool")) n += e.path().extension() == ".ddm";
    return n;
  };
  ASSERT_TRUE(WaitUntil([&] { return spooled() == 2; }, 10s)) << ReadFile(dir / "station.txt");

  MessageServer server(address.Text());
  ASSERT_TRUE(server.Accept(10s)) << "the driver retries every 3 s";
  std::string frame = server.Frame(5s);
  ASSERT_EQ(frame.size(), kFrame);
  EXPECT_EQ(frame[2], 20) << "ftHello first";
  EXPECT_EQ(frame[3], 31);
  frame = server.Frame(5s);
  EXPECT_EQ(frame[2], 50) << "then ftPortNumber";
  EXPECT_EQ(frame[3], 1) << "COM1";
  std::vector<int> replayed;
  for (int i = 0; i < 2; ++i) replayed.push_back(server.Frame(5s)[2]);
  std::sort(replayed.begin(), replayed.end());
  EXPECT_EQ(replayed, (std::vector<int>{21, 73})) << "the event and the restoration, replayed";
  // Files in doubt until the server has certainly read them: its window
  // shows nothing on an idle connection, an orderly end does.
  EXPECT_EQ(spooled(), 2) << "in doubt while the connection is idle";
  server.EndInOrder();
  EXPECT_TRUE(WaitUntil([&] { return spooled() == 0; }, 5s)) << "replayed files are removed";
  ASSERT_TRUE(server.Accept(10s)) << "the driver connects again";
  EXPECT_EQ(server.Frame(5s)[2], 20) << "ftHello";
  EXPECT_EQ(server.Frame(5s)[2], 50) << "ftPortNumber";

  server.Send(4, 46366.5);  // ftSetClock 2026-12-10 12:00:00
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(dir / "clock.txt"); }, 5s));
  EXPECT_EQ(ReadFile(dir / "clock.txt"), "2026-12-10 12:00:00.000");
  server.Send(17);  // ftClose: no password
  const auto status = driver.WaitForExit(10s);
  ASSERT_TRUE(status.has_value()) << "ftClose did not end the program";
  EXPECT_EQ(*status, 0);
  station.Signal(SIGTERM);
}

}  // namespace
}  // namespace vorel
