#include "serial/port_name.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <utility>

namespace vorel {
namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";  // \\.\ of the Windows device namespace

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// n of "COMn": decimal, no sign, no leading zero, 1 or more. Nine digits at
// most, so the number always fits.
std::optional<unsigned long> ComNumber(std::string_view name) {
  if (name.size() < 4 || Upper(name[0]) != 'C' || Upper(name[1]) != 'O' || Upper(name[2]) != 'M') {
    return std::nullopt;
  }
  const std::string_view digits = name.substr(3);
  if (digits.size() > 9 || digits[0] == '0') return std::nullopt;
  unsigned long n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<unsigned long>(c - '0');
  }
  return n;
}

namespace fs = std::filesystem;

std::optional<std::string> Canonical(const fs::path& path) {
  std::error_code error;
  fs::path file = fs::canonical(path, error);
  if (error) return std::nullopt;
  return file.string();
}

// n of "<stem><n>", decimal digits only.
std::optional<unsigned long> NumberAfter(std::string_view name, std::string_view stem) {
  if (name.size() <= stem.size() || name.size() > stem.size() + 9 || name.substr(0, stem.size()) != stem)
    return std::nullopt;
  unsigned long n = 0;
  for (char c : name.substr(stem.size())) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<unsigned long>(c - '0');
  }
  return n;
}

// The entries of `dir`, or none when it cannot be read.
std::vector<fs::path> Entries(const fs::path& dir) {
  std::vector<fs::path> entries;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
    entries.push_back(it->path());
  return entries;
}

}  // namespace

std::vector<std::string> SerialDevicePaths(const SerialDeviceRoots& roots) {
  std::vector<std::string> byId;
  std::set<std::string> named;  // the device files the by-id names lead to
  for (const fs::path& entry : Entries(roots.byId)) {
    byId.push_back(entry.string());
    if (auto file = Canonical(entry)) named.insert(*file);
  }
  std::sort(byId.begin(), byId.end());

  std::vector<std::string> paths = byId;
  for (std::string_view stem : {"ttyUSB", "ttyACM"}) {
    std::vector<std::pair<unsigned long, fs::path>> numbered;
    for (const fs::path& entry : Entries(roots.dev)) {
      if (auto n = NumberAfter(entry.filename().string(), stem)) numbered.emplace_back(*n, entry);
    }
    std::sort(numbered.begin(), numbered.end());
    for (const auto& [n, entry] : numbered) {
      const auto file = Canonical(entry);
      if (!file || !named.contains(*file)) paths.push_back(entry.string());
    }
  }
  return paths;
}

std::optional<std::string> DeviceFile(std::string_view portName) {
  const std::optional<std::string> path = ResolvePortName(portName);
  if (!path) return std::nullopt;
  return Canonical(*path);
}

std::optional<std::string> ResolvePortName(std::string_view portName, const char* comDir) {
  std::string_view name = portName;
  if (name.substr(0, kDevicePrefix.size()) == kDevicePrefix) name.remove_prefix(kDevicePrefix.size());
  // A NUL would silently cut the path short at the system call.
  if (name.empty() || name.find('\0') != std::string_view::npos) return std::nullopt;

  if (name.front() == '/') return std::string(name);

  const auto n = ComNumber(name);
  if (!n) return std::nullopt;
  const std::string entry = "COM" + std::to_string(*n);
  // An empty VOREL_COM_DIR names no directory; treat it as unset.
  if (comDir != nullptr && *comDir != '\0') {
    std::string dir(comDir);
    if (dir.back() != '/') dir += '/';
    return dir + entry;
  }
  return "/dev/ttyS" + std::to_string(*n - 1);
}

std::optional<std::string> ResolvePortName(std::string_view portName) {
  return ResolvePortName(portName, std::getenv("VOREL_COM_DIR"));
}

}  // namespace vorel
