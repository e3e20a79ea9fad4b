#include "p8/payloads.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace vorel {
namespace {

TEST(P8Payloads, PortStatus) {
  struct Case {
    PortStatus mainPort;
    PortStatus secondPort;
    Bytes want;
  };
  const Case cases[] = {
      {{"COM1", true}, {"COM2", false}, {4, 'C', 'O', 'M', '1', 0, 0, 1, 4, 'C', 'O', 'M', '2', 0, 0, 0}},
      {{"COM1234", false}, {"COM255", true}, {6, 'C', 'O', 'M', '1', '2', '3', 0, 6, 'C', 'O', 'M', '2', '5', '5', 1}},
      {{"", true}, {"/dev/ttyUSB0", true}, {0, 0, 0, 0, 0, 0, 0, 1, 6, '/', 'd', 'e', 'v', '/', 't', 1}},
      // Cut after the conversion to Windows-1251: six letters, not six UTF-8 bytes.
      {{"ПОРТ1234", true}, {"X", false}, {6, 0xCF, 0xCE, 0xD0, 0xD2, '1', '2', 1, 1, 'X', 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.want, PortStatusPayload(c.mainPort, c.secondPort)) << c.mainPort.name;
}

TEST(P8Payloads, HelloAndFirstNumber) {
  EXPECT_EQ(Bytes({0x13, 0x00}), HelloPayload());
  EXPECT_EQ(Bytes{0x2A}, FirstNumberPayload(42));
  EXPECT_EQ(Bytes{0x01}, FirstNumberPayload(257));
  EXPECT_EQ(Bytes{0xFF}, FirstNumberPayload(-1));
}

TEST(P8Payloads, VersionPayload) {
  EXPECT_EQ(Bytes({0x08, 0x00, 0x01, 0x00, 0x03, 0x00, 0x8E, 0x00}), VersionPayload("8.1.3.142"));
  EXPECT_EQ(Bytes({0x34, 0x12, 0, 0, 0, 0, 0xFF, 0xFF}), VersionPayload("4660.65535"));
  EXPECT_EQ(Bytes(8, 0), VersionPayload(""));
}

}  // namespace
}  // namespace vorel
