#include "spool/spool_directory.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

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

std::size_t HexDigitsAtStart(std::string_view name) {
  std::size_t n = 0;
  while (n < name.size() && ((name[n] >= '0' && name[n] <= '9') || (name[n] >= 'A' && name[n] <= 'F'))) ++n;
  return n;
}

// What follows the name's last dot, with the dot; empty without one.
std::string_view ExtensionOf(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

}  // namespace

bool SpoolNameOrder::operator()(std::string_view a, std::string_view b) const {
  const std::size_t digitsA = HexDigitsAtStart(a);
  const std::size_t digitsB = HexDigitsAtStart(b);
  if (digitsA != digitsB) return digitsA < digitsB;
  return a < b;
}

std::vector<std::string> FindSpoolFiles(std::string_view prefix, std::string_view extension) {
  const SpoolPattern pattern(prefix, extension);
  std::vector<std::string> stems;  // the names less the name prefix
  ForEachDirectoryName(pattern.directory, [&](std::string_view name) {
    if (pattern.Matches(name)) stems.emplace_back(name.substr(pattern.namePrefix.size()));
  });
  std::sort(stems.begin(), stems.end(), SpoolNameOrder());
  for (std::string& stem : stems) stem = pattern.dirPart + pattern.namePrefix + stem;
  return stems;
}

std::optional<std::string> FirstSpoolFile(std::string_view prefix, std::string_view extension,
                                          const std::set<std::string>& passOver) {
  const std::vector<std::string> files = FindSpoolFiles(prefix, extension);
  for (const std::string& file : files)
    if (!passOver.contains(file)) return file;
  return std::nullopt;
}

SpoolListing::SpoolListing(std::string_view prefix) {
  const SpoolPattern pattern(prefix, {});
  directory_ = pattern.directory;
  dirPart_ = pattern.dirPart;
  namePrefix_ = pattern.namePrefix;
}

SpoolListing::Reading SpoolListing::ReadDirectory(const std::string& directory, const std::string& namePrefix) {
  Reading reading;
  ForEachDirectoryName(directory, [&](std::string_view name) {
    if (name.size() > namePrefix.size() && name.starts_with(namePrefix))
      reading[std::string(ExtensionOf(name))].emplace(name.substr(namePrefix.size()));
  });
  return reading;
}

void SpoolListing::Read() {
  byExtension_ = ReadDirectory(directory_, namePrefix_);
  read_ = true;
}

bool SpoolListing::RescanDue(std::uint32_t tickMs) const {
  return !read_ || static_cast<std::uint32_t>(tickMs - readAtMs_) >= kRescanMs;
}

std::function<SpoolListing::Reading()> SpoolListing::Reader() const {
  return [directory = directory_, namePrefix = namePrefix_] { return ReadDirectory(directory, namePrefix); };
}

void SpoolListing::Take(Reading reading, std::uint32_t tickMs) {
  byExtension_ = std::move(reading);
  read_ = true;
  readAtMs_ = tickMs;
}

SpoolListing::Names* SpoolListing::Of(std::string_view extension) {
  if (!read_) Read();
  const auto it = byExtension_.find(extension);
  return it == byExtension_.end() ? nullptr : &it->second;
}

void SpoolListing::Refresh(std::uint32_t tickMs) {
  if (RescanDue(tickMs)) {
    Read();
    readAtMs_ = tickMs;
  }
}

std::size_t SpoolListing::Count(std::string_view extension) {
  const Names* names = Of(extension);
  return names ? names->size() : 0;
}

std::optional<std::string> SpoolListing::First(std::string_view extension, const std::set<std::string>& passOver) {
  const Names* names = Of(extension);
  if (!names) return std::nullopt;
  for (const std::string& name : *names) {
    std::string path = dirPart_ + namePrefix_ + name;
    if (!passOver.contains(path)) return path;
  }
  return std::nullopt;
}

bool SpoolListing::Contains(const std::string& path) {
  const std::optional<std::string> name = NameOf(path);
  if (!name) return false;
  const Names* names = Of(ExtensionOf(*name));
  return names && names->contains(*name);
}

std::optional<std::string> SpoolListing::NameOf(const std::string& path) const {
  if (!path.starts_with(dirPart_)) return std::nullopt;
  std::string name = path.substr(dirPart_.size());
  if (name.find('/') != std::string::npos || !name.starts_with(namePrefix_) || name.size() <= namePrefix_.size())
    return std::nullopt;
  return name.substr(namePrefix_.size());
}

void SpoolListing::Forget(const std::string& path) {
  const std::optional<std::string> name = NameOf(path);
  if (!name) return;
  if (Names* names = Of(ExtensionOf(*name))) names->erase(*name);
}

void SpoolListing::Added(const std::string& path) {
  if (!read_) return;  // the first reading will find it
  const std::optional<std::string> name = NameOf(path);
  if (name) byExtension_[std::string(ExtensionOf(*name))].insert(*name);
}

std::string SetSpoolFileAside(const std::string& file) {
  const std::string aside = file + std::string(kBadSpoolExtension);
  std::error_code ec;
  std::filesystem::rename(file, aside, ec);
  return ec ? std::string() : aside;
}

}  // namespace vorel
