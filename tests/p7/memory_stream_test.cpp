// The memory stream's position rules, which the socket client's sends rely on.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "p7/memory_stream.h"

namespace vorel {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(MemoryStreamTest, ReadsFromThePositionAndStopsAtTheEnd) {
  TMemoryStream stream(Bytes{1, 2, 3, 4, 5});
  EXPECT_EQ(stream.Position(), 0);
  std::uint8_t buffer[8] = {};
  stream.SetPosition(3);
  EXPECT_EQ(stream.Read(buffer, 8), 2);
  EXPECT_EQ(buffer[0], 4);
  EXPECT_EQ(buffer[1], 5);
  EXPECT_EQ(stream.Position(), 5);
  EXPECT_EQ(stream.Read(buffer, 8), 0);
  stream.SetPosition(9);
  EXPECT_EQ(stream.Read(buffer, 8), 0);
  stream.SetPosition(-4);
  EXPECT_EQ(stream.Position(), 0);
  EXPECT_EQ(stream.Read(buffer, -1), 0);
}

TEST(MemoryStreamTest, WritesOverwriteGrowAndFillGapsWithZeros) {
  struct Case {
    const char* what;
    Bytes start;
    std::int64_t position;
    Bytes written;
    Bytes expected;
  };
  const std::vector<Case> cases = {
      {"append to empty", {}, 0, {7, 8}, {7, 8}},
      {"overwrite inside", {1, 2, 3, 4}, 1, {9, 9}, {1, 9, 9, 4}},
      {"across the end", {1, 2, 3}, 2, {9, 9, 9}, {1, 2, 9, 9, 9}},
      {"beyond the end", {1}, 3, {9}, {1, 0, 0, 9}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TMemoryStream stream(c.start);
    stream.SetPosition(c.position);
    EXPECT_EQ(stream.Write(c.written.data(), static_cast<std::int32_t>(c.written.size())),
              static_cast<std::int32_t>(c.written.size()));
    EXPECT_EQ(stream.Bytes(), c.expected);
    EXPECT_EQ(stream.Position(), c.position + static_cast<std::int64_t>(c.written.size()));
  }
}

TEST(MemoryStreamTest, SizeAndClear) {
  TMemoryStream stream(Bytes{1, 2, 3});
  stream.SetPosition(3);
  stream.SetSize(5);
  EXPECT_EQ(stream.Bytes(), (Bytes{1, 2, 3, 0, 0}));
  stream.SetSize(1);
  EXPECT_EQ(stream.Size(), 1);
  EXPECT_EQ(stream.Position(), 3);
  stream.Clear();
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_EQ(stream.Position(), 0);
}

}  // namespace
}  // namespace vorel
