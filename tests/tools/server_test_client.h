// What the reference-server tests need to play the driver: a plain blocking
// TCP client with bounded reads, and the server's output file read as lines.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

namespace vorel::test {

class TestClient {
 public:
  TestClient(const std::string& host, int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~TestClient() { Close(); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool Connected() const { return connected_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool Send(std::span<const std::uint8_t> bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Up to `count` bytes, fewer when the peer closes or `timeout` passes.
  std::vector<std::uint8_t> Receive(std::size_t count, std::chrono::milliseconds timeout) {
    std::vector<std::uint8_t> bytes;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (bytes.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd waitFor{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&waitFor, 1, static_cast<int>(left.count())) <= 0) break;
      std::uint8_t chunk[4096];
      const ssize_t n = ::recv(fd_, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
      if (n <= 0) break;
      bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
  }
  // True when the peer has closed the connection within `timeout`.
  bool PeerClosed(std::chrono::milliseconds timeout) {
    pollfd waitFor{fd_, POLLIN, 0};
    if (::poll(&waitFor, 1, static_cast<int>(timeout.count())) <= 0) return false;
    std::uint8_t byte;
    return ::recv(fd_, &byte, 1, MSG_PEEK) == 0;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

inline std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The first output line whose text contains `part`, or "".
inline std::string FindLine(const std::filesystem::path& path, const std::string& part) {
  for (const auto& line : ReadLines(path))
    if (line.find(part) != std::string::npos) return line;
  return {};
}

// The port of the "listening HOST:PORT" first line; 0 while not written yet.
inline int ListeningPort(const std::filesystem::path& path) {
  const auto lines = ReadLines(path);
  if (lines.empty() || lines[0].rfind("listening ", 0) != 0) return 0;
  return std::stoi(lines[0].substr(lines[0].rfind(':') + 1));
}

}  // namespace vorel::test
