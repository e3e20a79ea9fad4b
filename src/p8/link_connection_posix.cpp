// BSD sockets for the protocol-8 link. The socket is non-blocking for its
// whole life and every wait is a poll with a limit: the connect, with the
// lookup of a host name, ends by one deadline; each wait for room to write
// and each wait for data to read has its own time-out. No peer can hold the
// link thread longer than that. Keepalive and the limit on unacknowledged
// bytes end a connection whose path died silently even while the link is
// between exchanges.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "base/dead_path_limits.h"
#include "p8/host_lookup_posix.h"
#include "p8/link_connection.h"

namespace vorel {
namespace {

using SteadyClock = std::chrono::steady_clock;

int RemainingMs(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
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

// One address, bounded by the deadline: poll for writability, then SO_ERROR
// tells the outcome. Returns the connected socket, still non-blocking, or -1.
int ConnectOne(const sockaddr_in& address, SteadyClock::time_point deadline) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Not looked at: without them the link still works, only notices a dead
  // path by its answers' time-outs alone.
  ApplyDeadPathLimits(fd);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
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
  int one = 1;
  // One small frame per request: do not hold it back for coalescing.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

class PosixLinkConnection final : public ILinkConnection {
 public:
  explicit PosixLinkConnection(HostLookups& lookups) : lookups_(lookups) {}
  ~PosixLinkConnection() override { CloseSocket(); }

  bool Connect(const std::string& host, std::int32_t port, std::uint32_t timeoutMs) override {
    CloseSocket();
    if (host.empty() || port <= 0 || port > 65535) return false;
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    for (const in_addr& host4 : lookups_.Addresses(host, deadline)) {
      if (RemainingMs(deadline) == 0) break;
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr = host4;
      address.sin_port = htons(static_cast<std::uint16_t>(port));
      fd_ = ConnectOne(address, deadline);
      if (fd_ >= 0) break;
    }
    return fd_ >= 0;
  }

  // poll rather than SO_SNDTIMEO: with the socket non-blocking no call can
  // block anywhere but in a poll whose limit is in sight here, and writes
  // wait the way the connect and the reads do (SO_SNDTIMEO would also end a
  // send early on every signal). A socket counts as writable only once a
  // good part of its send buffer is free, far more than a frame, so the
  // whole write lasts about one write wait at most.
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
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // No room: the peer is not reading. An error shown by the poll is
        // reported by the next send.
        if (PollFor(fd_, POLLOUT, static_cast<int>(kLinkWriteWaitMs)) <= 0) return false;
      } else {
        return false;
      }
    }
    return true;
  }

  // The wait is a limit for the whole call, not for each byte: a peer that
  // trickles its bytes cannot stretch it.
  bool ReadExact(std::size_t count, Bytes& out, std::uint32_t waitTimeoutMs) override {
    std::size_t got = 0;
    std::uint8_t chunk[4096];
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(waitTimeoutMs);
    while (got < count) {
      if (fd_ < 0) return false;
      int revents = PollFor(fd_, POLLIN, RemainingMs(deadline));
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

  HostLookups& lookups_;
  int fd_ = -1;
};

class PosixLinkConnectionFactory final : public ILinkConnectionFactory {
 public:
  std::unique_ptr<ILinkConnection> Create() override { return std::make_unique<PosixLinkConnection>(lookups_); }

 private:
  // Outlives every connection: a look-up that ends after its attempt serves
  // the next one.
  HostLookups lookups_;
};

}  // namespace

ILinkConnectionFactory& PlatformLinkConnectionFactory() {
  static PosixLinkConnectionFactory factory;
  return factory;
}

}  // namespace vorel
