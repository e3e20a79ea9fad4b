// The small POSIX layer both reference servers stand on: a listening socket
// on loopback, accepting, whole writes, a stop pipe for SIGTERM/SIGINT, a
// millisecond clock and a line writer that flushes every line so that a test
// or an operator reading the output sees each event at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace vorel::tools {

// Listening TCP socket on host:port (port 0: the system picks one). Throws
// std::runtime_error with the system's text when the address is not an IPv4
// address or the bind/listen fails. `bound` receives "HOST:PORT".
// A receiveBuffer above 0 sets SO_RCVBUF before the socket listens.
int ListenTcp(const std::string& host, std::uint16_t port, std::string& bound, int receiveBuffer = 0);

// One waiting connection, non-blocking; -1 when none is waiting.
// `peer` receives "HOST:PORT".
int AcceptClient(int listenFd, std::string& peer);

// Writes every byte (waiting while the socket buffer is full). False when
// the peer is gone; never raises SIGPIPE.
bool SendAll(int fd, std::span<const std::uint8_t> bytes);

// Read end of a pipe that becomes readable on SIGTERM or SIGINT.
int InstallStopSignals();

// Milliseconds of a monotonic clock.
std::int64_t MonotonicMs();

// Milliseconds since 1970-01-01 UTC of the wall clock.
std::int64_t UnixNowMs();

// Lines to stdout or to a file, each flushed as it is written.
class LineOutput {
 public:
  LineOutput() = default;
  ~LineOutput();
  LineOutput(const LineOutput&) = delete;
  LineOutput& operator=(const LineOutput&) = delete;
  // Empty path: stdout. Throws std::runtime_error when the file cannot be
  // created.
  void Open(const std::string& path);
  void Line(const std::string& text);

 private:
  std::FILE* file_ = nullptr;
  bool owned_ = false;
};

}  // namespace vorel::tools
