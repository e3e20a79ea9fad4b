#include "app/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>

namespace vorel {
namespace {

std::string SystemText(int error) { return std::system_category().message(error); }

// The process id a holder wrote, if the file holds one.
std::optional<pid_t> ReadHolder(int fd) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return std::nullopt;
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  if (end == text || pid <= 0) return std::nullopt;
  return static_cast<pid_t>(pid);
}

}  // namespace

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) ::close(fd_);
}

DirectoryLock::Result DirectoryLock::Take(const std::filesystem::path& directory) {
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  file_ = directory / kLockFileName;
  const int fd = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    error_ = SystemText(errno);
    return Result::Failed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) holder_ = ReadHolder(fd);
    ::close(fd);
    if (error == EWOULDBLOCK) return Result::HeldByAnother;
    error_ = SystemText(error);
    return Result::Failed;
  }
  fd_ = fd;
  // Only a hint for the driver that is turned away: the lock is the flock.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()))
    error_ = "cannot write the process id: " + SystemText(errno);
  return Result::Taken;
}

std::filesystem::path SpoolDirectoryOf(const std::string& pathForSoob) {
  const std::filesystem::path directory = std::filesystem::path(pathForSoob).parent_path();
  return directory.empty() ? std::filesystem::path(".") : directory;
}

InstanceLocks TakeInstanceLocks(const std::filesystem::path& workingDirectory, const std::string& pathForSoob) {
  InstanceLocks locks;
  const std::filesystem::path spool = SpoolDirectoryOf(pathForSoob);
  std::error_code ec;
  const bool same = std::filesystem::equivalent(workingDirectory, spool, ec);
  const struct {
    std::filesystem::path directory;
    const char* what;
  } places[] = {{workingDirectory, "working directory"}, {spool, "spool directory"}};
  for (const auto& place : places) {
    if (&place != &places[0] && same) break;
    auto lock = std::make_unique<DirectoryLock>();
    switch (lock->Take(place.directory)) {
      case DirectoryLock::Result::Taken:
        if (!lock->Error().empty()) locks.warnings.push_back(lock->File().string() + ": " + lock->Error());
        locks.held.push_back(std::move(lock));
        break;
      case DirectoryLock::Result::HeldByAnother: {
        const std::string holder =
            lock->Holder() ? "process " + std::to_string(*lock->Holder()) : std::string("another process");
        locks.refused = "another driver (" + holder + ") runs with the " + place.what + " " +
                        place.directory.string() + ": it holds " + lock->File().string() +
                        "; one driver per working directory and spool directory";
        return locks;
      }
      case DirectoryLock::Result::Failed:
        locks.warnings.push_back("no lock on the " + std::string(place.what) + ": " + lock->File().string() + ": " +
                                 lock->Error() + "; a second driver there would not be turned away");
        break;
    }
  }
  return locks;
}

}  // namespace vorel
