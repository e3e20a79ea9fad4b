// Where a port name leads on this machine. The configuration and the panel
// may write a port with the device prefix ("\\.\COM3"); here
//   - "\\.\" is dropped when present;
//   - a name beginning with '/' is a device path;
//   - "COMn" (n = 1, 2, ..., any letter case) is the entry "COMn" of the
//     directory named by VOREL_COM_DIR when that variable is set, else
//     /dev/ttyS<n-1>;
//   - anything else names no device.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorel {

// comDir: the value of VOREL_COM_DIR, or nullptr when it is not set.
std::optional<std::string> ResolvePortName(std::string_view portName, const char* comDir);

// The same with the process environment.
std::optional<std::string> ResolvePortName(std::string_view portName);

// Where the machine's serial devices are looked for; tests give directories
// of their own so that they never touch the machine's ports.
struct SerialDeviceRoots {
  std::filesystem::path byId = "/dev/serial/by-id";
  std::filesystem::path dev = "/dev";
};

// The serial adapters this machine has, by the names that stay the same
// whichever socket they are plugged into: every entry of byId in name order,
// then each dev/ttyUSB<n> and dev/ttyACM<n> (in number order) that no byId
// entry leads to. Whether they open is not checked here.
std::vector<std::string> SerialDevicePaths(const SerialDeviceRoots& roots);

// The device file a port name leads to, with every link followed; nothing
// when it leads nowhere. Two names of one device give the same path.
std::optional<std::string> DeviceFile(std::string_view portName);

}  // namespace vorel
