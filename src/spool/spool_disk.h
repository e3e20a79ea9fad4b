// The spool's file work as the spool thread sees it: the POSIX one in
// spool_disk_posix.cpp, a fake in the tests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vorel {

class ISpoolDisk {
 public:
  virtual ~ISpoolDisk() = default;
  // A file written whole and flushed under its final name, which it returns;
  // its directory not flushed yet. Raises std::system_error, leaving nothing.
  virtual std::string PublishFile(std::string_view prefix, std::string_view stem, std::string_view extension,
                                  std::span<const std::uint8_t> bytes) = 0;
  // Flushes the directory of `prefix`. Raises std::system_error.
  virtual void FlushDirectory(std::string_view prefix) = 0;
  // True when this call removed the file.
  virtual bool RemoveFile(const std::string& path) = 0;
};

// The spool files of spool_file.h.
class PosixSpoolDisk final : public ISpoolDisk {
 public:
  std::string PublishFile(std::string_view prefix, std::string_view stem, std::string_view extension,
                          std::span<const std::uint8_t> bytes) override;
  void FlushDirectory(std::string_view prefix) override;
  bool RemoveFile(const std::string& path) override;
};

}  // namespace vorel
