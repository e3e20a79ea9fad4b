#include "spool/spool_disk.h"

#include "spool/spool_file.h"

namespace vorel {

std::vector<SpoolWritten> PosixSpoolDisk::PublishFiles(const std::vector<SpoolWrite>& writes) {
  return PublishSpoolFiles(writes);
}

void PosixSpoolDisk::FlushDirectory(std::string_view prefix) { FlushSpoolDirectory(prefix); }

bool PosixSpoolDisk::RemoveFile(const std::string& path) { return RemoveSpoolFile(path); }

}  // namespace vorel
