// A pseudo-terminal pair for tests of the terminal-device layer: the test
// plays the station on the master side, the code under test opens the slave
// by its path.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vorel::test {

class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) return;
    slavePath_ = name;
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Ok() const { return master_ >= 0 && !slavePath_.empty(); }
  const std::string& SlavePath() const { return slavePath_; }
  // The slave as the driver names a device ("\\.\" in front).
  std::string PortName() const { return "\\\\.\\" + slavePath_; }

  bool Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (!WaitFor(POLLOUT, 1000)) {
        return false;
      }
    }
    return true;
  }

  // What the slave side wrote, until `count` bytes came or `ms` passed.
  std::vector<std::uint8_t> Receive(std::size_t count, int ms = 5000) {
    std::vector<std::uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      std::uint8_t buffer[512];
      const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) {
        got.insert(got.end(), buffer, buffer + n);
      } else {
        WaitFor(POLLIN, 50);
      }
    }
    return got;
  }

  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  bool WaitFor(short events, int ms) {
    pollfd p{master_, events, 0};
    return ::poll(&p, 1, ms) > 0;
  }

  int master_ = -1;
  std::string slavePath_;
};

}  // namespace vorel::test
