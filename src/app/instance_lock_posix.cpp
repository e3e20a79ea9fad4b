#include "app/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

namespace vorel {
namespace {

std::string SystemText(int error) { return std::system_category().message(error); }

// The process that holds a flock on the file of `fd`, from /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF").
std::optional<pid_t> FlockHolder(int fd) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", ::major(st.st_dev), ::minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, file;
    long pid = 0;
    fields >> number >> kind;
    if (kind == "->") continue;  // a waiter, not the holder
    fields >> mode >> access >> pid >> file;
    if (kind == "FLOCK" && file == id && pid > 0) return static_cast<pid_t>(pid);
  }
  return std::nullopt;
}

}  // namespace

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) ::close(fd_);
}

DirectoryLock::Result DirectoryLock::Take(const std::filesystem::path& directory) {
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error_ = SystemText(errno);
    return Result::Failed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) holder_ = FlockHolder(fd);
    ::close(fd);
    if (error == EWOULDBLOCK) return Result::HeldByAnother;
    error_ = SystemText(error);
    return Result::Failed;
  }
  fd_ = fd;
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
        locks.held.push_back(std::move(lock));
        break;
      case DirectoryLock::Result::HeldByAnother: {
        const std::string holder =
            lock->Holder() ? "process " + std::to_string(*lock->Holder()) : std::string("another process");
        locks.refused = "another driver (" + holder + ") runs with the " + place.what + " " +
                        place.directory.string() + " (it holds its flock); one driver per working directory " +
                        "and spool directory";
        return locks;
      }
      case DirectoryLock::Result::Failed:
        locks.warnings.push_back("no lock on the " + std::string(place.what) + " " + place.directory.string() +
                                 ": " + lock->Error() + "; a second driver there would not be turned away");
        break;
    }
  }
  return locks;
}

}  // namespace vorel
