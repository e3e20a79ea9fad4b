// Reading a version block in the binary layout of Windows version resources:
// a tree of nodes, each { uint16 length, uint16 value length, uint16 type,
// UTF-16 key, padding to 32 bits, value, padding, children }. The root is
// "VS_VERSION_INFO" with the 52-byte fixed file information as its value; its
// children are "StringFileInfo" (string tables keyed by the 8 hex digits of a
// language/code-page pair, holding text values) and "VarFileInfo" (with
// "Translation": the pairs as 32-bit numbers). Every length is checked
// against the block, so a truncated or corrupt block can only make a query
// fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vorel {

inline constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
inline constexpr std::size_t kFixedFileInfoSize = 52;
// Offset of the fixed file information: the root's 6 header bytes and its
// 32-byte key "VS_VERSION_INFO\0", padded to 32 bits.
inline constexpr std::size_t kFixedFileInfoOffset = 40;

struct VersionValue {
  // The value as stored; for a text, its UTF-16 units before the terminator.
  std::span<const std::uint8_t> bytes;
  bool isText = false;
};

// Finds a value as the platform's version query does. The path names one key
// per level, each after a backslash: "\" is the root's value (the fixed file
// information), "\VarFileInfo\Translation", "\StringFileInfo\041904E3\FileVersion".
// Keys compare without regard to letter case. nullopt when the block is not a
// version block, the path leads nowhere, or a node along it is malformed.
std::optional<VersionValue> QueryVersionValue(std::span<const std::uint8_t> block, std::string_view path);

// A text value in UTF-8 (a binary value is read as UTF-16 all the same).
std::string VersionValueText(const VersionValue& value);

struct FixedFileVersion {
  std::uint32_t mostSignificant = 0;   // major << 16 | minor
  std::uint32_t leastSignificant = 0;  // release << 16 | build
};

// The file-version fields of the fixed file information; nullopt when the
// root value is shorter than 52 bytes or lacks the signature.
std::optional<FixedFileVersion> ReadFixedFileVersion(std::span<const std::uint8_t> block);

// The first version block that starts in bytes[0, searchEnd): a UTF-16
// "VS_VERSION_INFO" key whose node is a binary node carrying a 52-byte value
// with the fixed-info signature, and whose length stays within bytes.
// The result spans the whole block (its length field's worth of bytes).
std::optional<std::span<const std::uint8_t>> FindVersionBlock(
    std::span<const std::uint8_t> bytes, std::size_t searchEnd = std::numeric_limits<std::size_t>::max());

}  // namespace vorel
