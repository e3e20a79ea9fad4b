#include "spool/spool_disk.h"

#include "spool/spool_file.h"

namespace vorel {

std::string PosixSpoolDisk::PublishFile(std::string_view prefix, std::string_view stem, std::string_view extension,
                                        std::span<const std::uint8_t> bytes) {
  return PublishSpoolFile(prefix, stem, extension, bytes);
}

void PosixSpoolDisk::FlushDirectory(std::string_view prefix) { FlushSpoolDirectory(prefix); }

bool PosixSpoolDisk::RemoveFile(const std::string& path) { return RemoveSpoolFile(path); }

}  // namespace vorel
