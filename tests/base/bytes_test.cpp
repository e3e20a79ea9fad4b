#include "base/bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace vorel {
namespace {

constexpr std::uint8_t kFill = 0xCC;

// Writes value at offset 1 of a buffer one byte wider on each side, checks the
// bytes and that the neighbours are untouched, and reads it back.
template <class T>
void ExpectLayout(T value, const Bytes& expected) {
  SCOPED_TRACE(testing::Message() << "value " << +value);
  ASSERT_EQ(sizeof(T), expected.size());
  Bytes buffer(sizeof(T) + 2, kFill);
  PutLE(std::span(buffer), 1, value);
  Bytes want{kFill};
  want.insert(want.end(), expected.begin(), expected.end());
  want.push_back(kFill);
  EXPECT_EQ(want, buffer);
  EXPECT_EQ(value, GetLE<T>(buffer, 1));
}

TEST(Bytes, LittleEndianLayouts) {
  ExpectLayout<std::int8_t>(-2, {0xFE});
  ExpectLayout<std::uint8_t>(0xA5, {0xA5});
  ExpectLayout<std::int16_t>(-2, {0xFE, 0xFF});
  ExpectLayout<std::uint16_t>(0x1234, {0x34, 0x12});
  ExpectLayout<std::int32_t>(-123456789, {0xEB, 0x32, 0xA4, 0xF8});
  ExpectLayout<std::uint32_t>(0xA4CB7FFF, {0xFF, 0x7F, 0xCB, 0xA4});
  ExpectLayout<std::int64_t>(std::numeric_limits<std::int64_t>::min(), {0, 0, 0, 0, 0, 0, 0, 0x80});
  ExpectLayout<std::uint64_t>(0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1});
  ExpectLayout<double>(1.0, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F});
  ExpectLayout<double>(46366.5, {0, 0, 0, 0, 0xD0, 0xA3, 0xE6, 0x40});
  ExpectLayout<double>(-0.0, {0, 0, 0, 0, 0, 0, 0, 0x80});
}

TEST(Bytes, FieldsOutsideTheBufferThrow) {
  Bytes four(4, 0);
  EXPECT_THROW(PutLE<std::uint32_t>(four, 1, 0), std::out_of_range);
  EXPECT_THROW(PutLE<std::uint8_t>(four, 4, 0), std::out_of_range);
  EXPECT_THROW(PutLE<std::uint16_t>(four, std::numeric_limits<std::size_t>::max(), 0), std::out_of_range);
  EXPECT_THROW(GetLE<double>(four, 0), std::out_of_range);
  EXPECT_THROW(GetLE<std::int8_t>(Bytes{}, 0), std::out_of_range);
  EXPECT_EQ(Bytes(4, 0), four);  // a refused write leaves the buffer alone
  EXPECT_NO_THROW(PutLE<std::uint32_t>(four, 0, 0));
}

TEST(Bytes, ShortStrings) {
  const struct {
    const char* name;
    std::string text;
    Bytes want;
  } cases[] = {
      {"shorter", "abc", {kFill, 3, 'a', 'b', 'c', kFill, kFill, kFill}},
      {"cut to capacity", "abcdefgh", {kFill, 5, 'a', 'b', 'c', 'd', 'e', kFill}},
      {"empty", "", {kFill, 0, kFill, kFill, kFill, kFill, kFill, kFill}},
      {"upper half bytes", "\xEE\xF8", {kFill, 2, 0xEE, 0xF8, kFill, kFill, kFill, kFill}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer(8, kFill);
    PutShortString(buffer, 1, 5, c.text);
    EXPECT_EQ(c.want, buffer);
    EXPECT_EQ(c.text.substr(0, 5), GetShortString(buffer, 1, 5));
  }
}

TEST(Bytes, ShortStringOverAnOldOneLeavesTheOldTail) {
  Bytes buffer(6, 0);
  PutShortString(buffer, 0, 5, "hello");
  PutShortString(buffer, 0, 5, "hi");
  EXPECT_EQ((Bytes{2, 'h', 'i', 'l', 'l', 'o'}), buffer);
  EXPECT_EQ("hi", GetShortString(buffer, 0, 5));
}

TEST(Bytes, ShortStringLimits) {
  Bytes buffer{9, 'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ("abcde", GetShortString(buffer, 0, 5));  // a length byte above the capacity
  EXPECT_THROW(GetShortString(buffer, 0, 5 + 1), std::out_of_range);
  EXPECT_THROW(PutShortString(buffer, 1, 5, "x"), std::out_of_range);
  Bytes wide(300, 0);
  EXPECT_NO_THROW(PutShortString(wide, 0, 255, std::string(300, 'x')));
  EXPECT_EQ(255, wide[0]);
  EXPECT_THROW(PutShortString(wide, 0, 256, "x"), std::invalid_argument);
}

}  // namespace
}  // namespace vorel
