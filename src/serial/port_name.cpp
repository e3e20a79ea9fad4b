#include "serial/port_name.h"

#include <cstdlib>

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

}  // namespace

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
