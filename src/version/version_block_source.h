// Where a file's version block comes from. On Windows it is the file's
// version resource; here the build embeds the block in the executable and the
// file is searched for it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base/bytes.h"

namespace vorel {

class VersionBlockSource {
 public:
  virtual ~VersionBlockSource() = default;
  // The whole version block of the file; nullopt when the file has none or
  // cannot be read.
  virtual std::optional<Bytes> Load(const std::string& fileName) const = 0;
};

// Reads the file in windows of chunkSize bytes plus the largest block size,
// so a block is found wherever it lies and the file is never held whole.
class EmbeddedVersionBlockSource final : public VersionBlockSource {
 public:
  explicit EmbeddedVersionBlockSource(std::size_t chunkSize = std::size_t{1} << 20);
  std::optional<Bytes> Load(const std::string& fileName) const override;

 private:
  std::size_t chunkSize_;
};

// The source of this platform.
const VersionBlockSource& PlatformVersionBlockSource();

// The path that names the running program's own executable.
std::string OwnExecutablePath();

}  // namespace vorel
