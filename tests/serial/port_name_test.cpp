#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "serial/port_name.h"

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

}  // namespace
}  // namespace vorel
