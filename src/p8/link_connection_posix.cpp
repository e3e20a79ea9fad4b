// BSD sockets for the protocol-8 link. The connect is non-blocking so that it
// can be bounded: poll for writability, then SO_ERROR tells the outcome. The
// socket is then made blocking again for the writes; reads poll first so that
// each wait has its own time-out.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "p8/link_connection.h"

namespace vorel {
namespace {

using SteadyClock = std::chrono::steady_clock;

int RemainingMs(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

bool SetNonBlocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

// Waits for `events` on fd; EINTR restarts the wait with the time left.
// Returns the revents, 0 on time-out, -1 on error.
int PollFor(int fd, short events, int timeoutMs) {
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, RemainingMs(deadline));
    if (n > 0) return p.revents;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// One address, bounded by the deadline. Returns the connected (blocking)
// socket or -1.
int ConnectOne(const sockaddr* address, socklen_t length, SteadyClock::time_point deadline) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (!SetNonBlocking(fd, true)) {
    close(fd);
    return -1;
  }
  if (connect(fd, address, length) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      close(fd);
      return -1;
    }
    int revents = PollFor(fd, POLLOUT, RemainingMs(deadline));
    int error = 0;
    socklen_t errorLength = sizeof error;
    if (revents <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 || error != 0) {
      close(fd);
      return -1;
    }
  }
  if (!SetNonBlocking(fd, false)) {
    close(fd);
    return -1;
  }
  int one = 1;
  // One small frame per request: do not hold it back for coalescing.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

class PosixLinkConnection final : public ILinkConnection {
 public:
  ~PosixLinkConnection() override { CloseSocket(); }

  bool Connect(const std::string& host, std::int32_t port, std::uint32_t timeoutMs) override {
    CloseSocket();
    if (host.empty() || port <= 0 || port > 65535) return false;
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found) return false;
    for (addrinfo* a = found; a && fd_ < 0; a = a->ai_next) {
      if (RemainingMs(deadline) == 0) break;
      fd_ = ConnectOne(a->ai_addr, a->ai_addrlen, deadline);
    }
    freeaddrinfo(found);
    return fd_ >= 0;
  }

  bool WriteAll(std::span<const std::uint8_t> data) override {
    std::size_t done = 0;
    while (done < data.size()) {
      if (fd_ < 0) return false;
      // MSG_NOSIGNAL: a peer that went away must not kill the process.
      ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return false;
      }
    }
    return true;
  }

  bool ReadExact(std::size_t count, Bytes& out, std::uint32_t waitTimeoutMs) override {
    std::size_t got = 0;
    std::uint8_t chunk[4096];
    int wait = waitTimeoutMs > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(waitTimeoutMs);
    while (got < count) {
      if (fd_ < 0) return false;
      int revents = PollFor(fd_, POLLIN, wait);
      if (revents == 0) return false;  // time-out: the connection stays
      if (revents < 0) {
        CloseSocket();
        return false;
      }
      std::size_t want = std::min(count - got, sizeof chunk);
      ssize_t n = recv(fd_, chunk, want, 0);
      if (n > 0) {
        out.insert(out.end(), chunk, chunk + n);
        got += static_cast<std::size_t>(n);
      } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        continue;
      } else {
        // 0: the peer closed; below 0: the connection broke. Either way it
        // is over on this side too, without the disconnected notice.
        CloseSocket();
        return false;
      }
    }
    return true;
  }

  bool Close() override {
    if (fd_ < 0) return false;
    CloseSocket();
    return true;
  }

  bool IsOpen() const override { return fd_ >= 0; }

 private:
  void CloseSocket() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
};

class PosixLinkConnectionFactory final : public ILinkConnectionFactory {
 public:
  std::unique_ptr<ILinkConnection> Create() override { return std::make_unique<PosixLinkConnection>(); }
};

}  // namespace

ILinkConnectionFactory& PlatformLinkConnectionFactory() {
  static PosixLinkConnectionFactory factory;
  return factory;
}

}  // namespace vorel
