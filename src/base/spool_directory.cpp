#include "base/spool_directory.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "base/directory_names.h"

namespace vorel {

namespace {

// A spool prefix cut into the directory to read and the start of the names.
struct SpoolPattern {
  std::string directory;   // "." for a prefix without a slash
  std::string dirPart;     // what goes before a name in the paths returned
  std::string namePrefix;
  std::string_view extension;

  SpoolPattern(std::string_view prefix, std::string_view ext) : extension(ext) {
    const std::string text(prefix);
    const std::size_t slash = text.rfind('/');
    directory = slash == std::string::npos ? "." : text.substr(0, slash + 1);
    dirPart = slash == std::string::npos ? "" : text.substr(0, slash + 1);
    namePrefix = slash == std::string::npos ? text : text.substr(slash + 1);
  }

  bool Matches(std::string_view name) const {
    return name.size() >= namePrefix.size() + extension.size() && name.starts_with(namePrefix) &&
           name.ends_with(extension);
  }
};

}  // namespace

std::vector<std::string> FindSpoolFiles(std::string_view prefix, std::string_view extension) {
  const SpoolPattern pattern(prefix, extension);
  std::vector<std::string> files;
  ForEachDirectoryName(pattern.directory, [&](std::string_view name) {
    if (pattern.Matches(name)) files.push_back(pattern.dirPart + std::string(name));
  });
  std::sort(files.begin(), files.end());
  return files;
}

std::optional<std::string> FirstSpoolFile(std::string_view prefix, std::string_view extension,
                                          const std::set<std::string>& passOver) {
  SpoolListing listing(prefix);
  return listing.First(extension, passOver);
}

SpoolListing::SpoolListing(std::string_view prefix) : prefix_(prefix) {}

void SpoolListing::Read(const std::string& directory, const std::string& namePrefix) {
  if (read_) return;
  read_ = true;
  ForEachDirectoryName(directory, [&](std::string_view name) {
    if (name.starts_with(namePrefix)) names_.emplace_back(name);
  });
}

std::size_t SpoolListing::Count(std::string_view extension) {
  const SpoolPattern pattern(prefix_, extension);
  Read(pattern.directory, pattern.namePrefix);
  std::size_t count = 0;
  for (const std::string& name : names_)
    if (pattern.Matches(name) && !gone_.contains(pattern.dirPart + name)) ++count;
  return count;
}

std::optional<std::string> SpoolListing::First(std::string_view extension, const std::set<std::string>& passOver) {
  const SpoolPattern pattern(prefix_, extension);
  Read(pattern.directory, pattern.namePrefix);
  const std::string* first = nullptr;
  for (const std::string& name : names_) {
    if (!pattern.Matches(name) || (first && name >= *first)) continue;
    if (!passOver.empty() || !gone_.empty()) {
      const std::string path = pattern.dirPart + name;
      if (passOver.contains(path) || gone_.contains(path)) continue;
    }
    first = &name;
  }
  if (!first) return std::nullopt;
  return pattern.dirPart + *first;
}

void SpoolListing::Forget(const std::string& path) { gone_.insert(path); }

std::string SetSpoolFileAside(const std::string& file) {
  const std::string aside = file + std::string(kBadSpoolExtension);
  std::error_code ec;
  std::filesystem::rename(file, aside, ec);
  return ec ? std::string() : aside;
}

}  // namespace vorel
