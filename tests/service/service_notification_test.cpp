// The real program under a stand-in for systemd: a datagram socket named by
// NOTIFY_SOCKET and a watchdog time-out in WATCHDOG_USEC, as a Type=notify
// unit with WatchdogSec= gives them. The program says READY=1 only after its
// start-up opened the configured port, pings the watchdog while it runs and
// says STOPPING=1 when SIGTERM ends it. Its STATUS= line tells the ports and
// links.
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "support/child_process.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"
#include "system/program_env.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::TempDir;

class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& path) : path_(path.string()) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool Bound() const { return bound_; }
  const std::string& Path() const { return path_; }

  // How many times the program said `line` so far.
  int Count(const std::string& line) const {
    int n = 0;
    for (std::size_t at = heard_.find(line); at != std::string::npos; at = heard_.find(line, at + 1)) ++n;
    return n;
  }

  // Takes messages until `condition` holds or `timeout` passes.
  template <class Condition>
  bool HearUntil(Condition condition, std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > end) return false;
      if (const auto message = Next(100ms)) heard_ += *message + "\n";
    }
    return true;
  }

 private:
  // The next message (one datagram may hold several lines), or nothing
  // within `timeout`.
  std::optional<std::string> Next(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    char buffer[4096];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
  }

  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
  std::string heard_;
};

bool HeldExclusively(const std::string& device) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return true;
  const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
  close(fd);
  return locked;
}

TEST(ServiceNotification, ReadyAfterStartUpWatchdogPingsAndStoppingOnSigterm) {
#ifndef VOREL_NOTIFIES_SYSTEMD
  GTEST_SKIP() << "built without libsystemd";
#endif
  TempDir dir;
  test::PtyPair station;
  ASSERT_TRUE(station.Ok());
  // Both links off: nothing but the port and the notifications.
  std::ofstream(dir / "vorel.ini") << "[port]\r\nComPort=" << station.SlavePath()
                                   << "\r\n[main]\r\nSendMivo7=0\r\nSendMivo8=0\r\n";
  NotifySocket manager(dir / "notify");
  ASSERT_TRUE(manager.Bound());
  auto env = test::ProgramEnv(dir);
  env["NOTIFY_SOCKET"] = manager.Path();
  env["WATCHDOG_USEC"] = "200000";  // a ping every 100 ms
  env.erase("WATCHDOG_PID");
  ChildProcess program(VOREL_BINARY, {}, dir.Path().string(), env);

  ASSERT_TRUE(manager.HearUntil([&] { return manager.Count("READY=1") > 0; })) << "no READY=1";
  EXPECT_TRUE(HeldExclusively(station.SlavePath())) << "READY=1 before the start-up opened the port";
  EXPECT_TRUE(manager.HearUntil([&] { return manager.Count("WATCHDOG=1") >= 3; })) << "no watchdog pings";
  // What systemctl status shows: the ports and both links in one line.
  EXPECT_TRUE(manager.HearUntil([&] {
    return manager.Count("STATUS=main " + station.SlavePath() + " open, station down; second COM255 closed") > 0;
  })) << "no STATUS= line";

  ASSERT_TRUE(test::WaitUntil([&] { return program.Catches(SIGTERM); }, 20s));
  program.Signal(SIGTERM);
  EXPECT_TRUE(manager.HearUntil([&] { return manager.Count("STOPPING=1") > 0; })) << "no STOPPING=1";
  EXPECT_EQ(manager.Count("READY=1"), 1);
  const auto status = program.WaitForExit(20s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
}

}  // namespace
}  // namespace vorel
