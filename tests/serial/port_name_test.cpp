#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "serial/port_name.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

TEST(ResolvePortName, Table) {
  struct Case {
    std::string name;
    const char* comDir;
    std::optional<std::string> path;
  };
  const std::vector<Case> cases = {
      {"\\\\.\\COM1", nullptr, "/dev/ttyS0"},
      {"\\\\.\\COM3", nullptr, "/dev/ttyS2"},
      {"COM3", nullptr, "/dev/ttyS2"},
      {"\\\\.\\com12", nullptr, "/dev/ttyS11"},
      {"\\\\.\\CoM2", nullptr, "/dev/ttyS1"},
      {"\\\\.\\COM255", nullptr, "/dev/ttyS254"},
      {"\\\\.\\COM3", "/tmp/ports", "/tmp/ports/COM3"},
      {"\\\\.\\com3", "/tmp/ports/", "/tmp/ports/COM3"},
      {"\\\\.\\COM3", "", "/dev/ttyS2"},  // an empty directory name counts as unset
      {"\\\\.\\/dev/ttyUSB0", nullptr, "/dev/ttyUSB0"},
      {"\\\\.\\/dev/ttyUSB0", "/tmp/ports", "/dev/ttyUSB0"},
      {"/dev/pts/4", nullptr, "/dev/pts/4"},
      {"\\\\.\\COM0", nullptr, std::nullopt},
      {"\\\\.\\COM03", nullptr, std::nullopt},
      {"\\\\.\\COM", nullptr, std::nullopt},
      {"\\\\.\\COM-1", nullptr, std::nullopt},
      {"\\\\.\\COM1 ", nullptr, std::nullopt},
      {"\\\\.\\COM1234567890", nullptr, std::nullopt},
      {"\\\\.\\LPT1", nullptr, std::nullopt},
      {"\\\\.\\ttyS0", nullptr, std::nullopt},
      {"\\\\.\\", nullptr, std::nullopt},
      {"", nullptr, std::nullopt},
      {std::string("/dev/tty\0S0", 11), nullptr, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.name << "' dir " << (c.comDir ? c.comDir : "(unset)"));
    EXPECT_EQ(ResolvePortName(c.name, c.comDir), c.path);
  }
}

// A machine's /dev as the rescan sees it, made of plain files: by-id names
// lead to some of the adapters; the others are listed by their own name.
TEST(SerialDevicePaths, StableNamesFirstThenAdaptersWithoutOne) {
  namespace fs = std::filesystem;
  test::TempDir dir;
  const SerialDeviceRoots roots{dir / "serial" / "by-id", dir / "dev"};
  fs::create_directories(roots.byId);
  fs::create_directories(roots.dev);
  for (const char* name : {"ttyUSB1", "ttyUSB10", "ttyUSB2", "ttyACM0", "ttyACM3", "ttyS0", "ttyUSB", "ttyUSBx", "tty"})
    test::WriteFile(roots.dev / name, "");
  fs::create_symlink("../../dev/ttyUSB1", roots.byId / "usb-FTDI_FT232R_A1-if00-port0");
  fs::create_symlink("../../dev/ttyACM0", roots.byId / "usb-Acme_Receiver_7-if00");
  fs::create_symlink("../../dev/ttyUSB9", roots.byId / "usb-unplugged-if00-port0");  // leads nowhere now

  EXPECT_EQ(SerialDevicePaths(roots), (std::vector<std::string>{
                                          (roots.byId / "usb-Acme_Receiver_7-if00").string(),
                                          (roots.byId / "usb-FTDI_FT232R_A1-if00-port0").string(),
                                          (roots.byId / "usb-unplugged-if00-port0").string(),
                                          (roots.dev / "ttyUSB2").string(),
                                          (roots.dev / "ttyUSB10").string(),
                                          (roots.dev / "ttyACM3").string(),
                                      }));
  // One device under two names is one device file.
  EXPECT_EQ(DeviceFile("\\\\.\\" + (roots.byId / "usb-FTDI_FT232R_A1-if00-port0").string()),
            DeviceFile((roots.dev / "ttyUSB1").string()));
  EXPECT_EQ(DeviceFile((roots.byId / "usb-unplugged-if00-port0").string()), std::nullopt);

  // Without udev's by-id directory every adapter is listed by its own name.
  fs::remove_all(roots.byId);
  EXPECT_EQ(SerialDevicePaths(roots).size(), 5u);
  EXPECT_TRUE(SerialDevicePaths({dir / "none", dir / "none"}).empty());
}

}  // namespace
}  // namespace vorel
