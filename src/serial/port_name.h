// Where a port name leads on this machine. The station software names ports
// as Windows does ("\\.\COM3"); here
//   - "\\.\" is dropped when present;
//   - a name beginning with '/' is a device path;
//   - "COMn" (n = 1, 2, ..., any letter case) is the entry "COMn" of the
//     directory named by VOREL_COM_DIR when that variable is set, else
//     /dev/ttyS<n-1>;
//   - anything else names no device.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorel {

// comDir: the value of VOREL_COM_DIR, or nullptr when it is not set.
std::optional<std::string> ResolvePortName(std::string_view portName, const char* comDir);

// The same with the process environment.
std::optional<std::string> ResolvePortName(std::string_view portName);

}  // namespace vorel
