#include "version/version_numbers.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace vorel {
namespace {

TEST(VersionNumbers, ReadAsTheHandshakeReadsThem) {
  using N = std::array<std::uint16_t, 4>;
  struct Case {
    std::string text;
    N want;
  };
  const Case cases[] = {
      {"8.1.3.142", {8, 1, 3, 142}},
      {"1.0.0.1", {1, 0, 0, 1}},
      {"1.2", {1, 0, 0, 2}},
      {"1.2.3", {1, 2, 0, 3}},
      {"12", {0, 0, 0, 0}},
      {"", {0, 0, 0, 0}},
      {"8..3.142", {8, 0, 3, 142}},
      {".5", {0, 0, 0, 5}},
      {"a.b.c.d", {0, 0, 0, 0}},
      {"1.2.3.4.5", {1, 2, 3, 0}},
      {"1.2.3.4 beta", {1, 2, 3, 0}},
      {"70000.1.2.3", {70000 & 0xFFFF, 1, 2, 3}},
      {"-1.0.0.0", {0xFFFF, 0, 0, 0}},
      {"99999999999.1.1.1", {0, 1, 1, 1}},
      // Only the first 255 characters count.
      {std::string(253, '0') + ".5", {0, 0, 0, 5}},
      {std::string(254, '0') + ".5", {0, 0, 0, 0}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.want, VersionNumbers(c.text)) << c.text.substr(0, 20);
}

}  // namespace
}  // namespace vorel
