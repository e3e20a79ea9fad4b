#include "station_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "flock_probe.h"
#include "line_pace.h"

namespace vorel::bench {

StationPty::StationPty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
  char name[128] = {};
  if (ptsname_r(master_, name, sizeof name) != 0) return;
  slavePath_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ < 0) return;
  termios t{};
  tcgetattr(slave_, &t);
  cfmakeraw(&t);
  tcsetattr(slave_, TCSANOW, &t);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

StationPty::~StationPty() {
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
}

bool StationPty::OpenedByDriver() const {
  if (slave_ < 0) return false;
  // The driver flocks every port it opens; only a real serial device gets the
  // exclusive mark as well, a pseudo-terminal not.
  if (station::FlockHeld(slave_).value_or(false)) return true;
  int exclusive = 0;
  return ioctl(slave_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

bool StationPty::Write(const std::vector<std::uint8_t>& bytes, int baud) {
  const auto start = std::chrono::steady_clock::now();
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t due = station::BytesDue(std::chrono::steady_clock::now() - start, baud, bytes.size());
    if (due == done) {
      std::this_thread::sleep_until(start + station::ByteTime(baud) * static_cast<long>(done + 1));
      continue;
    }
    const ssize_t n = ::write(master_, bytes.data() + done, due - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    pollfd p{master_, POLLOUT, 0};
    if (::poll(&p, 1, 1000) <= 0) return false;
  }
  return true;
}

std::size_t StationPty::Drain() {
  std::size_t total = 0;
  std::uint8_t buffer[512];
  ssize_t n;
  while ((n = ::read(master_, buffer, sizeof buffer)) > 0) total += static_cast<std::size_t>(n);
  return total;
}

std::optional<std::chrono::steady_clock::time_point> StationPty::WaitForAck(std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + timeout;
  for (;;) {
    std::uint8_t buffer[64];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    const auto now = Clock::now();
    for (ssize_t i = 0; i < n; ++i)
      if (buffer[i] == 0x06) return now;
    if (n > 0) continue;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
    if (left <= 0) return std::nullopt;
    pollfd p{master_, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left));
  }
}

}  // namespace vorel::bench
