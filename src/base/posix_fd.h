// Small POSIX file helpers shared by the writers of whole files (the
// configuration, the spool files): a descriptor that closes itself, a write
// that completes, and errno turned into an exception in one way.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace vorel::posix {

[[noreturn]] inline void ThrowErrno(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// Closes the descriptor on every way out unless Close() already did.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }
  // close() reports late write errors of some file systems: it is checked.
  int Close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

// Writes every byte, retrying after signals; raises on failure.
inline void WriteAll(int fd, std::span<const std::uint8_t> bytes, const std::string& what) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno, what);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
}

inline void WriteAll(int fd, std::string_view bytes, const std::string& what) {
  WriteAll(fd, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), what);
}

}  // namespace vorel::posix
