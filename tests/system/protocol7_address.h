// A loopback address of the test's own for a protocol-7 server: the driver's
// port there is always 7788, so each test needs an address nobody else uses.
// It is 127.X.Y.Z worked out from the process id and a counter (never
// 127.0.*.*, where a demo and the fixed test addresses live), so that tests
// of this run and another run of the suite on the same machine each get
// their own.
//
// The address stays reserved while this object lives: a socket bound to
// ADDRESS:7788 with SO_REUSEADDR that never listens. A server that sets
// SO_REUSEADDR too (the reference server, a test's own) can still listen
// there, and a driver that connects while no server does is refused; but
// another test's claim, a bind without it, fails and moves on.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace vorel::test {

class Protocol7Address {
 public:
  static constexpr std::uint16_t kPort = 7788;

  Protocol7Address() {
    static std::atomic<std::uint32_t> counter{0};
    for (int attempt = 0; attempt < 1000; ++attempt) {
      const std::uint32_t key = static_cast<std::uint32_t>(::getpid()) * 64u + counter++;
      // 0x010000 … 0xFFFFFE: 127.1.0.0 up to 127.255.255.254.
      const std::uint32_t host = 0x010000u + key % 0xFEFFFFu;
      const std::string text = "127." + std::to_string(host >> 16) + "." + std::to_string((host >> 8) & 0xFF) + "." +
                               std::to_string(host & 0xFF);
      reserved_ = Reserve(text);
      if (reserved_ >= 0) {
        text_ = text;
        return;
      }
    }
    throw std::runtime_error("no free loopback address for port 7788");
  }
  ~Protocol7Address() { ::close(reserved_); }
  Protocol7Address(const Protocol7Address&) = delete;
  Protocol7Address& operator=(const Protocol7Address&) = delete;

  const std::string& Text() const { return text_; }

 private:
  // A plain bind fails while anything else is bound there, in whatever state
  // (in use here, by another run, a leftover); SO_REUSEADDR comes after it,
  // for the server.
  static int Reserve(const std::string& text) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kPort);
    const int on = 1;
    if (fd < 0 || ::inet_pton(AF_INET, text.c_str(), &a.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
      if (fd >= 0) ::close(fd);
      return -1;
    }
    return fd;
  }

  int reserved_ = -1;
  std::string text_;
};

}  // namespace vorel::test
