#include "base/cp1251.h"

#include <gtest/gtest.h>

#include <string>

namespace vorel {
namespace {

// The bytes 0x80..0xFF read as Windows-1251; 0x98 has no character.
const std::string kUpperHalfUtf8 =
    "ЂЃ‚ѓ„…†‡€‰Љ‹ЊЌЋЏђ‘’“”•–—\uFFFD™љ›њќћџ"
    "\u00A0ЎўЈ¤Ґ¦§Ё©Є«¬\u00AD®Ї°±Ііґµ¶·ё№є»јЅѕї"
    "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ"
    "абвгдежзийклмнопрстуфхцчшщъыьэюя";

std::string UpperHalfBytes() {
  std::string bytes;
  for (int b = 0x80; b <= 0xFF; ++b) bytes += static_cast<char>(b);
  return bytes;
}

TEST(Cp1251, ErrorLogText) {
  EXPECT_EQ("\xEE\xF8\xE8\xE1\xEA\xE0 \xB9", Utf8ToCp1251("ошибка №"));
  EXPECT_EQ("ошибка №", Cp1251ToUtf8("\xEE\xF8\xE8\xE1\xEA\xE0 \xB9"));
}

TEST(Cp1251, WholeUpperHalfBothWays) {
  const std::string bytes = UpperHalfBytes();
  EXPECT_EQ(kUpperHalfUtf8, Cp1251ToUtf8(bytes));
  std::string mapped = bytes;
  mapped[0x98 - 0x80] = '?';  // the unmapped byte does not come back
  EXPECT_EQ(mapped, Utf8ToCp1251(kUpperHalfUtf8));
}

TEST(Cp1251, AsciiPassesThrough) {
  std::string ascii;
  for (int b = 0; b < 0x80; ++b) ascii += static_cast<char>(b);
  EXPECT_EQ(ascii, Utf8ToCp1251(ascii));
  EXPECT_EQ(ascii, Cp1251ToUtf8(ascii));
}

TEST(Cp1251, UnmappableAndInvalidBecomeQuestionMarks) {
  const struct {
    const char* name;
    std::string utf8;
    std::string bytes;
  } cases[] = {
      {"no such character", "é日本\U0001F600!", "???" "?!"},
      {"replacement character", "\uFFFD", "?"},
      {"stray byte", "a\xFF" "b", "a?b"},
      {"lone continuation", "\x80Я", "?\xDF"},
      {"cut sequence at the end", "Я\xD0", "\xDF?"},
      {"cut sequence before text", "\xD0" "A", "?A"},
      {"overlong slash", "\xC0\xAF", "??"},
      {"surrogate", "\xED\xA0\x80", "???"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", "????"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.bytes, Utf8ToCp1251(c.utf8));
  }
}

TEST(Cp1251, ValidUtf8) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("abc"));
  EXPECT_TRUE(IsValidUtf8(kUpperHalfUtf8));
  EXPECT_TRUE(IsValidUtf8("\U0001F600"));
  for (const char* bad : {"\xEE\xF8\xE8", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"})
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
}

TEST(Cp1251, DecodeText8TakesEitherEncoding) {
  EXPECT_EQ("Москва", DecodeText8("\xCC\xEE\xF1\xEA\xE2\xE0"));
  EXPECT_EQ("Москва", DecodeText8("Москва"));
  EXPECT_EQ("C:\\spool\\", DecodeText8("C:\\spool\\"));
}

}  // namespace
}  // namespace vorel
