#include <fcntl.h>
#include <signal.h>
#include <stdio.h>  // renameat2, RENAME_NOREPLACE (glibc)
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "base/directory_names.h"
#include "base/posix_fd.h"
#include "spool/spool_file.h"

namespace vorel {
namespace {

using posix::Descriptor;
using posix::ThrowErrno;
using posix::WriteAll;

// More files than one millisecond of station traffic can bring.
constexpr int kMaxSuffix = 9999;

// A new empty file named after the final one with ".<pid>-<n>.part" added, so
// that it never ends in a spool extension; -1 with errno set on failure.
int CreateTemporary(const std::string& base, std::string& temporary) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = base + "." + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool NoHardLinks(int error) { return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK; }
bool NoRenameFlags(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

// Gives the complete temporary file the name `final` unless that name exists;
// 0 or an errno value (EEXIST: the name is taken). Afterwards the temporary
// name may still exist; the caller removes it.
int PublishNoReplace(const std::string& temporary, const std::string& final) {
  if (::link(temporary.c_str(), final.c_str()) == 0) return 0;
  int error = errno;
  if (!NoHardLinks(error)) return error;
  // FAT volumes and many network shares have no hard links.
  if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) == 0) return 0;
  error = errno;
  if (!NoRenameFlags(error)) return error;
  // Neither: look, then rename. Only another program writing this very name
  // in the same instant could come in between.
  struct stat st {};
  if (::lstat(final.c_str(), &st) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  return ::rename(temporary.c_str(), final.c_str()) == 0 ? 0 : errno;
}

// Flushes a directory, so that the names in it outlive a power cut; 0 or an
// errno value. A file system that cannot flush a directory at all (EINVAL:
// some network and FUSE file systems) offers nothing better, and counts as
// flushed.
int SyncDirectory(std::filesystem::path dir) {
  if (dir.empty()) dir = ".";
  Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() < 0) return errno;
  if (::fsync(fd.Get()) != 0 && errno != EINVAL) return errno;
  return 0;
}

int SyncDirectoryOf(const std::string& file) { return SyncDirectory(std::filesystem::path(file).parent_path()); }

// Makes the missing directories of `dir` and flushes each new one's parent,
// so that the spool directory itself outlives a power cut; false when the
// directory could not be made.
bool MakeDurableDirectories(const std::filesystem::path& dir, const std::string& what) {
  std::vector<std::filesystem::path> missing;
  std::error_code ec;
  for (std::filesystem::path p = dir; !p.empty() && !std::filesystem::exists(p, ec); p = p.parent_path()) {
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  std::filesystem::create_directories(dir, ec);
  if (ec) return false;
  for (const std::filesystem::path& made : missing)
    if (const int error = SyncDirectoryOf(made.string())) ThrowErrno(error, what);
  return true;
}

// The process id in a temporary name "<final name>.<pid>-<n>.part" of one
// of the spool extensions; 0 when the name is not one.
pid_t WriterOfTemporary(std::string_view name) {
  constexpr std::string_view kPart = ".part";
  if (!name.ends_with(kPart)) return 0;
  name.remove_suffix(kPart.size());
  const std::size_t dash = name.rfind('-');
  const std::size_t dot = name.rfind('.', dash);
  if (dash == std::string_view::npos || dot == std::string_view::npos) return 0;
  const std::string_view before = name.substr(0, dot);
  if (!before.ends_with(kProtocol7SpoolExtension) && !before.ends_with(kProtocol8SpoolExtension)) return 0;
  pid_t pid = 0;
  for (char c : name.substr(dot + 1, dash - dot - 1)) {
    if (c < '0' || c > '9' || pid > 100'000'000) return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

}  // namespace

int RemoveUnfinishedSpoolFiles(std::string_view prefix) {
  const std::string text(prefix);
  const std::size_t slash = text.rfind('/');
  const std::string dirPart = slash == std::string::npos ? "" : text.substr(0, slash + 1);
  const std::string namePrefix = slash == std::string::npos ? text : text.substr(slash + 1);
  std::vector<std::string> stale;
  ForEachDirectoryName(dirPart.empty() ? "." : dirPart, [&](std::string_view name) {
    if (!name.starts_with(namePrefix)) return;
    const pid_t writer = WriterOfTemporary(name);
    // A writer that is gone; ours has written nothing yet at start-up.
    if (writer > 0 && writer != ::getpid() && ::kill(writer, 0) != 0 && errno == ESRCH)
      stale.emplace_back(dirPart + std::string(name));
  });
  int removed = 0;
  for (const std::string& path : stale) removed += ::unlink(path.c_str()) == 0;
  return removed;
}

SpoolFileRead ReadSpoolFile(const std::string& path, std::size_t limit) {
  SpoolFileRead read;
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.Get() < 0) {
    read.error = errno;
    read.result = errno == ENOENT ? SpoolReadResult::Gone : SpoolReadResult::Failed;
    return read;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) {
    read.error = errno;
    return read;
  }
  if (!S_ISREG(st.st_mode)) {
    read.result = SpoolReadResult::NotAFile;
    return read;
  }
  read.bytes.resize(limit);
  std::size_t got = 0;
  while (got < limit) {
    const ssize_t n = ::read(fd.Get(), read.bytes.data() + got, limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      read.error = errno;
      read.bytes.clear();
      return read;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  read.bytes.resize(got);
  read.result = SpoolReadResult::Read;
  return read;
}

namespace {

// A file written under its temporary name, on its way to the disk, not yet
// flushed nor under its final name. Removed unless published.
class StagedFile {
 public:
  StagedFile(std::string_view prefix, std::string_view stem, std::string_view extension,
             std::span<const std::uint8_t> bytes)
      : base_(std::string(prefix) + std::string(stem)),
        extension_(extension),
        what_("spool file " + base_ + extension_),
        fd_(Create()) {
    if (fd_.Get() < 0) ThrowErrno(errno, what_);
    try {
      WriteAll(fd_.Get(), bytes, what_);
    } catch (...) {
      ::unlink(temporary_.c_str());  // no destructor for what was never made
      throw;
    }
#ifdef __linux__
    // Starts the writing without waiting for it; the flush below waits. The
    // other files of the hand-over go meanwhile, and the first flush commits
    // them all, so that the flushes after it find little left to do. A
    // failure here is no failure: the flush reports what matters.
    ::sync_file_range(fd_.Get(), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  }
  ~StagedFile() {
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
  }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Flushes the file and gives it its final name, which it returns.
  std::string Publish() {
    if (::fsync(fd_.Get()) != 0) ThrowErrno(errno, what_);
    if (fd_.Close() != 0) ThrowErrno(errno, what_);
    for (int suffix = 0; suffix <= kMaxSuffix; ++suffix) {
      const std::string final = base_ + (suffix == 0 ? std::string() : "-" + std::to_string(suffix)) + extension_;
      const int error = PublishNoReplace(temporary_, final);
      if (error == EEXIST) continue;
      if (error != 0) ThrowErrno(error, what_);
      ::unlink(temporary_.c_str());  // gone already after a rename
      temporary_.clear();
      return final;
    }
    ThrowErrno(EEXIST, what_);
  }

 private:
  int Create() {
    int created = CreateTemporary(base_ + extension_, temporary_);
    if (created < 0 && errno == ENOENT) {
      // A spool directory that is not there (never made, or removed while
      // the driver ran) is made rather than the event lost.
      const std::filesystem::path dir = std::filesystem::path(base_).parent_path();
      if (!dir.empty() && MakeDurableDirectories(dir, what_))
        created = CreateTemporary(base_ + extension_, temporary_);
      else
        errno = ENOENT;
    }
    if (created < 0) temporary_.clear();
    return created;
  }

  std::string base_;
  std::string extension_;
  std::string what_;
  std::string temporary_;
  Descriptor fd_;  // last: made once the names are there
};

}  // namespace

std::string PublishSpoolFile(std::string_view prefix, std::string_view stem, std::string_view extension,
                             std::span<const std::uint8_t> bytes) {
  return StagedFile(prefix, stem, extension, bytes).Publish();
}

std::vector<SpoolWritten> PublishSpoolFiles(const std::vector<SpoolWrite>& writes) {
  std::vector<SpoolWritten> written(writes.size());
  std::vector<std::unique_ptr<StagedFile>> staged(writes.size());
  const auto attempt = [&](std::size_t i, const auto& step) {
    try {
      step();
    } catch (const std::exception& e) {
      written[i].error = e.what();
      staged[i].reset();
    }
  };
  for (std::size_t i = 0; i < writes.size(); ++i) {
    const SpoolWrite& w = writes[i];
    attempt(i, [&] { staged[i] = std::make_unique<StagedFile>(w.prefix, w.stem, w.extension, w.bytes); });
  }
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (staged[i]) attempt(i, [&] { written[i].file = staged[i]->Publish(); });
  }
  return written;
}

void FlushSpoolDirectory(std::string_view prefix) {
  const std::string text(prefix);
  const std::size_t slash = text.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
  if (const int error = SyncDirectory(dir)) ThrowErrno(error, "spool directory " + dir);
}

std::string WriteSpoolFile(std::string_view prefix, std::string_view stem, std::string_view extension,
                           std::span<const std::uint8_t> bytes) {
  std::string final = PublishSpoolFile(prefix, stem, extension, bytes);
  // Without the flush the name may not outlive a power cut: no ACK then.
  // The file stays; the replay sends it, a repeat at most.
  FlushSpoolDirectory(prefix);
  return final;
}

bool RemoveSpoolFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace vorel
