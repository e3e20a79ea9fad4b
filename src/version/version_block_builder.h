// Making a version block in the layout that version_block.h reads. The build
// uses it to embed the program's version in the executable; tests use it for
// blocks of every shape.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"

namespace vorel {

struct VersionBlockContents {
  std::array<std::uint16_t, 4> fileVersion{};  // major, minor, release, build
  std::array<std::uint16_t, 4> productVersion{};
  // Language identifier in the low 16 bits, code page in the high 16 bits;
  // 0x04E30419 is Russian, Windows-1251. None: no "VarFileInfo".
  std::vector<std::uint32_t> translations;
  // Key of the string table; empty: the 8 hex digits of the first
  // translation ("041904E3"), or "00000000" without one.
  std::string stringTableKey;
  // Key and text (UTF-8) of each string, in this order. None: no "StringFileInfo".
  std::vector<std::pair<std::string, std::string>> strings;
};

// Throws std::length_error when the block would exceed 65535 bytes.
Bytes BuildVersionBlock(const VersionBlockContents& contents);

// "041904E3" for 0x04E30419: the language, then the code page, each as four
// upper-case hex digits.
std::string TranslationKey(std::uint32_t translation);

}  // namespace vorel
