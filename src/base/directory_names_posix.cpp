#include <dirent.h>

#include <cstring>
#include <memory>

#include "base/directory_names.h"

namespace vorel {

void ForEachDirectoryName(const std::string& directory, const std::function<void(std::string_view)>& visit) {
  // Closed however `visit` leaves.
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), &::closedir);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name(entry->d_name, std::strlen(entry->d_name));
    if (name == "." || name == "..") continue;
    visit(name);
  }
}

}  // namespace vorel
