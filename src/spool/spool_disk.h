// The spool's file work as the spool thread sees it: the POSIX one in
// spool_disk_posix.cpp, a fake in the tests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "spool/spool_file.h"

namespace vorel {

class ISpoolDisk {
 public:
  virtual ~ISpoolDisk() = default;
  // Each file written whole and flushed under its final name, its directory
  // not flushed yet; a file that could not be written leaves nothing and
  // says why. One result per write, in their order.
  virtual std::vector<SpoolWritten> PublishFiles(const std::vector<SpoolWrite>& writes) = 0;
  // Flushes the directory of `prefix`. Raises std::system_error.
  virtual void FlushDirectory(std::string_view prefix) = 0;
  // True when this call removed the file.
  virtual bool RemoveFile(const std::string& path) = 0;
};

// The spool files of spool_file.h.
class PosixSpoolDisk final : public ISpoolDisk {
 public:
  std::vector<SpoolWritten> PublishFiles(const std::vector<SpoolWrite>& writes) override;
  void FlushDirectory(std::string_view prefix) override;
  bool RemoveFile(const std::string& path) override;
};

}  // namespace vorel
