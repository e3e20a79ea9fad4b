#include "loopback_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "p7/frame.h"
#include "p8/record.h"
#include "p8/record_types.h"
#include "p8_policy.h"
#include "receiver/event_record.h"

namespace vorel::bench {
namespace {

int Listen(const std::string& host, int port, std::string& error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
    error = "listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

int LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

bool WriteAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 1000) <= 0) return false;
  }
  return true;
}

}  // namespace

LoopbackServers::~LoopbackServers() {
  if (thread_.joinable()) {
    const char stop = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopPipe_[1], &stop, 1);
    thread_.join();
  }
  for (auto& [fd, connection] : connections_) ::close(fd);
  for (int fd : {p7Listener_, p8Listener_, stopPipe_[0], stopPipe_[1]})
    if (fd >= 0) ::close(fd);
}

bool LoopbackServers::Start(const std::string& p7Host, int p7Port, const std::string& p8Host, std::string& error) {
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    error = "pipe failed";
    return false;
  }
  p7Listener_ = Listen(p7Host, p7Port, error);
  if (p7Listener_ < 0) return false;
  p8Listener_ = Listen(p8Host, 0, error);
  if (p8Listener_ < 0) return false;
  p8Port_ = LocalPort(p8Listener_);
  thread_ = std::thread([this] { Run(); });
  return true;
}

LoopbackServers::Counts LoopbackServers::GetCounts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

std::optional<SteadyTime> LoopbackServers::P7Arrival(std::int32_t account) const {
  std::lock_guard lock(mutex_);
  const auto it = p7Arrivals_.find(account);
  return it == p7Arrivals_.end() ? std::nullopt : std::optional(it->second);
}

std::optional<SteadyTime> LoopbackServers::P8Arrival(std::int32_t account) const {
  std::lock_guard lock(mutex_);
  const auto it = p8Arrivals_.find(account);
  return it == p8Arrivals_.end() ? std::nullopt : std::optional(it->second);
}

void LoopbackServers::Run() {
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({stopPipe_[0], POLLIN, 0});
    fds.push_back({p7Listener_, POLLIN, 0});
    fds.push_back({p8Listener_, POLLIN, 0});
    for (const auto& [fd, connection] : connections_) fds.push_back({fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents) return;
    if (fds[1].revents & POLLIN) Accept(p7Listener_, false);
    if (fds[2].revents & POLLIN) Accept(p8Listener_, true);
    for (std::size_t i = 3; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      const auto it = connections_.find(fds[i].fd);
      if (it != connections_.end() && !Read(it->first, it->second)) {
        ::close(it->first);
        connections_.erase(it);
      }
    }
  }
}

void LoopbackServers::Accept(int listener, bool protocol8) {
  const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  connections_[fd].protocol8 = protocol8;
  std::lock_guard lock(mutex_);
  ++(protocol8 ? counts_.p8Connections : counts_.p7Connections);
}

bool LoopbackServers::Read(int fd, Connection& connection) {
  std::uint8_t chunk[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n == 0) return false;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      if (errno == EINTR) continue;
      return false;
    }
    connection.buffer.insert(connection.buffer.end(), chunk, chunk + n);
  }
  const SteadyTime now = std::chrono::steady_clock::now();
  if (!connection.protocol8) {
    TakeFrames7(connection, now);
    return true;
  }
  return TakeRecords8(fd, connection, now);
}

void LoopbackServers::TakeFrames7(Connection& connection, SteadyTime now) {
  Bytes& b = connection.buffer;
  std::size_t at = 0;
  std::lock_guard lock(mutex_);
  for (; b.size() - at >= p7::kFrameSize; at += p7::kFrameSize) {
    ++counts_.p7Frames;
    const std::uint8_t type = b[at + p7::kTypeOffset];
    if (type == p7::ftHello) ++counts_.p7Hellos;
    if (type != p7::ftEvent) continue;
    ++counts_.p7Events;
    const auto account = GetLE<std::int32_t>(b, at + p7::kPayloadOffset + event_record::kAccount);
    p7Arrivals_.emplace(account, now);
  }
  b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

bool LoopbackServers::TakeRecords8(int fd, Connection& connection, SteadyTime now) {
  Bytes& b = connection.buffer;
  for (;;) {
    if (b.size() < kEnvelopeHeaderSize) return true;
    const std::optional<std::int32_t> length = ParseEnvelopeHeader(b);
    if (!length || *length < 0) return false;  // not the driver's: hang up
    const std::size_t whole = kEnvelopeHeaderSize + static_cast<std::size_t>(*length);
    if (b.size() < whole) return true;
    const std::span<const std::uint8_t> body(b.data() + kEnvelopeHeaderSize, static_cast<std::size_t>(*length));
    const std::optional<Record> record = ParseRecord(body);
    const std::int32_t type = record ? record->header.recordType : rtPoll;
    const std::uint64_t sequence = record ? record->header.sequence : 0;
    {
      std::lock_guard lock(mutex_);
      ++counts_.p8Records;
      if (type == rtHello) ++counts_.p8Hellos;
      if (type == rtPoll) ++counts_.p8Polls;
      if (type == rtEventMain && record->payload.size() >= 4) {
        ++counts_.p8Events;
        p8Arrivals_.emplace(GetLE<std::int32_t>(record->payload, 0), now);
      }
    }
    b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(whole));
    if (!WriteAll(fd, p8server::AnswerFrame(p8server::AcceptAnswerType(type), sequence))) return false;
  }
}

}  // namespace vorel::bench
