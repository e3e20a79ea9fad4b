#include "base/spool_directory.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace vorel {

namespace fs = std::filesystem;

std::vector<std::string> FindSpoolFiles(std::string_view prefix, std::string_view extension) {
  const std::string text(prefix);
  const std::size_t slash = text.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : text.substr(0, slash + 1);
  const std::string namePrefix = slash == std::string::npos ? text : text.substr(slash + 1);
  const std::string dirPart = slash == std::string::npos ? "" : text.substr(0, slash + 1);

  std::vector<std::string> files;
  std::error_code ec;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() < namePrefix.size() + extension.size()) continue;
    if (name.compare(0, namePrefix.size(), namePrefix) != 0) continue;
    if (name.compare(name.size() - extension.size(), extension.size(), extension) != 0) continue;
    files.push_back(dirPart + name);
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string SetSpoolFileAside(const std::string& file) {
  const std::string aside = file + std::string(kBadSpoolExtension);
  std::error_code ec;
  fs::rename(file, aside, ec);
  return ec ? std::string() : aside;
}

}  // namespace vorel
