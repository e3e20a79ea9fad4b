#include "config/file_replace.h"
#include "base/posix_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>

namespace vorel {
namespace {

using posix::Descriptor;
using posix::ThrowErrno;
using posix::WriteAll;

namespace fs = std::filesystem;

// The file a write should change: the target of a symbolic link, so that the
// rename does not put a plain file in the link's place.
fs::path WriteTarget(const fs::path& file) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(file, ec))) {
    fs::path target = fs::canonical(file, ec);
    if (!ec) return target;
  }
  return file;
}

// Creates a new, empty file beside `target` with permission 0666 less the
// umask; -1 with errno set when the directory does not allow it.
int CreateTemporaryBeside(const fs::path& target, fs::path& temporary) {
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = dir / ("." + target.filename().string() + "." + std::to_string(random() % 1'000'000'000) + ".tmp");
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

std::optional<std::string> ReadFileBytes(const fs::path& file) {
  const std::string what = "read " + file.string();
  Descriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    ThrowErrno(errno, what);
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) ThrowErrno(errno, what);
  if (S_ISDIR(st.st_mode)) ThrowErrno(EISDIR, what);
  std::string bytes;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno, what);
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

void RewriteFileInPlace(const fs::path& file, std::string_view bytes) {
  const std::string what = "rewrite " + file.string();
  Descriptor fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (fd.Get() < 0) ThrowErrno(errno, what);
  WriteAll(fd.Get(), bytes, what);
  if (::ftruncate(fd.Get(), static_cast<off_t>(bytes.size())) != 0) ThrowErrno(errno, what);
  if (fd.Close() != 0) ThrowErrno(errno, what);
}

void ReplaceFileContents(const fs::path& file, std::string_view bytes) {
  const fs::path target = WriteTarget(file);
  const std::string what = "replace " + target.string();

  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) ThrowErrno(errno, what);
  if (exists && !S_ISREG(old.st_mode)) ThrowErrno(S_ISDIR(old.st_mode) ? EISDIR : EINVAL, what);

  fs::path temporary;
  Descriptor fd(CreateTemporaryBeside(target, temporary));
  if (fd.Get() < 0) {
    // A directory the process may not create files in, while the file itself
    // may still be writable: such a file is rewritten in place.
    RewriteFileInPlace(target, bytes);
    return;
  }
  try {
    if (exists) {
      if (::fchmod(fd.Get(), old.st_mode & 07777) != 0) ThrowErrno(errno, what);
      // Only a privileged process may give the file back to its owner; for
      // any other the new file is its own, as a newly written file would be.
      if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
        if (::fchown(fd.Get(), old.st_uid, old.st_gid) != 0) {
          // not permitted: keep the new owner
        }
      }
    }
    WriteAll(fd.Get(), bytes, what);
    if (::fsync(fd.Get()) != 0) ThrowErrno(errno, what);
    if (fd.Close() != 0) ThrowErrno(errno, what);
    if (::rename(temporary.c_str(), target.c_str()) != 0) ThrowErrno(errno, what);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

}  // namespace vorel
