#include "flock_probe.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace vorel::station {

std::optional<bool> FlockHeld(int fd) {
  struct stat st{};
  if (fstat(fd, &st) != 0) return std::nullopt;
  std::ifstream locks("/proc/locks");
  if (!locks) return std::nullopt;
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", ::major(st.st_dev), ::minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    fields >> number >> kind;
    if (kind == "->") fields >> kind;  // a waiter
    fields >> mode >> access >> pid >> file;
    if (kind == "FLOCK" && file == id) return true;
  }
  return false;
}

}  // namespace vorel::station
