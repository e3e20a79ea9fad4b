// The one file a fuzz target writes each input to: in memory where there is
// /dev/shm, removed when the run ends.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace vorel::fuzz {

inline std::filesystem::path& ScratchFile() {
  static std::filesystem::path file;
  return file;
}

// Makes the file for a target named `tag`; aborts when there is nowhere to.
inline void MakeScratchFile(const std::string& tag) {
  std::string memory = "/dev/shm/vorel-fuzz-" + tag + "-XXXXXX";
  std::string disk = "/tmp/vorel-fuzz-" + tag + "-XXXXXX";
  int fd = mkstemp(memory.data());
  std::string* made = &memory;
  if (fd < 0) {
    fd = mkstemp(disk.data());
    made = &disk;
  }
  if (fd < 0) std::abort();
  close(fd);
  ScratchFile() = *made;
  std::atexit([] { std::filesystem::remove(ScratchFile()); });
}

}  // namespace vorel::fuzz
