#include "tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vorel::tools {
namespace {

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string AddressText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

int stopPipeRead = -1;
int stopPipeWrite = -1;

void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(stopPipeWrite, &byte, 1);
  errno = saved;
}

}  // namespace

int ListenTcp(const std::string& host, std::uint16_t port, std::string& bound, int receiveBuffer) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
    throw std::runtime_error("not an IPv4 address: " + host);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(SystemError("socket"));
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
    const std::string text = SystemError("listen on " + host + ":" + std::to_string(port));
    ::close(fd);
    throw std::runtime_error(text);
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  bound = AddressText(address);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

int AcceptClient(int listenFd, std::string& peer) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return -1;
  peer = AddressText(address);
  return fd;
}

bool SendAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      pollfd waitFor{fd, POLLOUT, 0};
      if (::poll(&waitFor, 1, 1000) <= 0) return false;  // a peer that reads nothing for 1 s is as good as gone
    } else {
      return false;
    }
  }
  return true;
}

int InstallStopSignals() {
  if (stopPipeRead >= 0) return stopPipeRead;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error(SystemError("pipe"));
  stopPipeRead = fds[0];
  stopPipeWrite = fds[1];
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return stopPipeRead;
}

std::int64_t MonotonicMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

std::int64_t UnixNowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

LineOutput::~LineOutput() {
  if (owned_) std::fclose(file_);
}

void LineOutput::Open(const std::string& path) {
  if (path.empty()) {
    file_ = stdout;
    return;
  }
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) throw std::runtime_error(SystemError("cannot create " + path));
  owned_ = true;
}

void LineOutput::Line(const std::string& text) {
  std::FILE* out = file_ != nullptr ? file_ : stdout;
  std::fputs(text.c_str(), out);
  std::fputc('\n', out);
  std::fflush(out);
}

}  // namespace vorel::tools
