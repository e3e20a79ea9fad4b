// Test peers on the loopback interface: a listening server on a port the
// system chooses, a port where nothing listens, and a pump that runs the Qt
// event loop until a condition holds or a time limit passes.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorel::test {

// Runs the event loop until condition() holds; false when the time is up.
// A short timer keeps the loop waking, so conditions that depend on the
// kernel rather than on a Qt event are looked at too.
template <class Condition>
bool PumpUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  QDeadlineTimer deadline(timeout);
  QTimer wake;
  wake.start(2);
  while (!condition()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// Runs the event loop for a while, to see that nothing more happens.
inline void PumpFor(std::chrono::milliseconds span) {
  PumpUntil([] { return false; }, span);
}

inline int CheckedSocket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  return fd;
}

// Binds to ADDRESS:PORT (port 0: one the system chooses) and returns the port.
inline std::uint16_t BindLoopback(int fd, const char* address = "127.0.0.1", std::uint16_t port = 0) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address, &sa.sin_addr) != 1) throw std::runtime_error("bad address");
  sa.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) throw std::runtime_error("bind failed");
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

// A loopback port that is bound but does not listen: connecting is refused,
// and no other program can start listening there meanwhile.
class RefusingPort {
 public:
  RefusingPort() : fd_(CheckedSocket()), port_(BindLoopback(fd_)) {}
  ~RefusingPort() { ::close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  std::uint16_t Port() const { return port_; }

 private:
  int fd_;
  std::uint16_t port_;
};

// A server on a loopback address (127.0.0.1 and a port the system chooses,
// unless told) that accepts without blocking and talks to the last accepted
// peer.
class LoopbackServer {
 public:
  explicit LoopbackServer(const char* address = "127.0.0.1", std::uint16_t port = 0) : listener_(CheckedSocket()) {
    int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    port_ = BindLoopback(listener_, address, port);
    ::listen(listener_, 8);
    ::fcntl(listener_, F_SETFL, ::fcntl(listener_, F_GETFL) | O_NONBLOCK);
  }
  ~LoopbackServer() {
    if (peer_ >= 0) ::close(peer_);
    ::close(listener_);
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t Port() const { return port_; }
  int Accepted() const { return accepted_; }
  int Peer() const { return peer_; }

  // Takes a waiting connection, if there is one; for use inside PumpUntil.
  bool TryAccept() {
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return false;
    if (peer_ >= 0) ::close(peer_);
    peer_ = fd;
    ++accepted_;
    return true;
  }

  void Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(peer_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("server send failed");
      done += static_cast<std::size_t>(n);
    }
  }

  // A send whose failure is expected as well as its success.
  bool TrySend(const std::vector<std::uint8_t>& bytes) {
    return ::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }

  // Everything the client has sent so far (the peer is blocking; a poll
  // with no wait decides whether there is anything).
  void Collect() {
    pollfd p{peer_, POLLIN, 0};
    while (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) {
      std::uint8_t buffer[4096];
      const ssize_t n = ::recv(peer_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        peerGone_ = true;
        break;
      }
      received_.insert(received_.end(), buffer, buffer + n);
    }
  }
  const std::vector<std::uint8_t>& Received() const { return received_; }
  bool PeerGone() const { return peerGone_; }

  // The pending error of the accepted socket (ECONNRESET or EPIPE once the
  // client has reset the connection); reading it clears it.
  int PeerError() const {
    int error = 0;
    socklen_t len = sizeof error;
    ::getsockopt(peer_, SOL_SOCKET, SO_ERROR, &error, &len);
    return error;
  }

  void CloseGracefully() {
    ::close(peer_);
    peer_ = -1;
  }

  void Reset() {
    linger option{1, 0};
    ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(peer_);
    peer_ = -1;
  }

 private:
  int listener_;
  std::uint16_t port_ = 0;
  int peer_ = -1;
  int accepted_ = 0;
  bool peerGone_ = false;
  std::vector<std::uint8_t> received_;
};

// Bytes waiting on a socket, seen from outside the component.
inline int BytesWaitingOn(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

inline std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed = 0) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return bytes;
}

}  // namespace vorel::test
