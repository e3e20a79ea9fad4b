// One driver per working directory and per spool directory: each holds a
// flock on both directories themselves for as long as it runs. A second
// driver in the same place would overwrite the status file and replay the
// same spool files (with another configuration, to other servers). The lock
// is the directory's own, not a file's in it: an empty spool directory still
// means that nothing waits. The kernel lets the lock go with the process,
// however it ends.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorel {

class DirectoryLock {
 public:
  enum class Result { Taken, HeldByAnother, Failed };

  DirectoryLock() = default;
  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // Takes the lock on `directory` (made when missing). With HeldByAnother,
  // Holder() names the process that has it when /proc/locks tells; with
  // Failed, Error() says why.
  Result Take(const std::filesystem::path& directory);
  std::optional<pid_t> Holder() const { return holder_; }
  const std::string& Error() const { return error_; }

 private:
  int fd_ = -1;
  std::optional<pid_t> holder_;
  std::string error_;
};

// The directory of the configured spool prefix: "spool/" is the directory
// spool, "spool" a name prefix in the current directory, empty the current
// directory.
std::filesystem::path SpoolDirectoryOf(const std::string& pathForSoob);

// The working directory's lock and the spool directory's (one when they are
// the same directory). Lines for standard error tell what was not taken:
// with `refused` another driver holds one and this one must not run; a lock
// that could not be made at all is only a warning, since a driver that does
// not run loses the station's alarms for sure.
struct InstanceLocks {
  std::vector<std::unique_ptr<DirectoryLock>> held;
  std::vector<std::string> warnings;
  std::optional<std::string> refused;
};
InstanceLocks TakeInstanceLocks(const std::filesystem::path& workingDirectory, const std::string& pathForSoob);

}  // namespace vorel
