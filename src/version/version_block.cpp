#include "version/version_block.h"

#include <algorithm>
#include <functional>
#include <vector>

#include "base/bytes.h"
#include "version/utf16.h"

namespace vorel {
namespace {

constexpr std::size_t kNodeHeaderSize = 6;
constexpr std::uint16_t kTextNode = 1;
constexpr std::string_view kRootKey = "VS_VERSION_INFO";

std::size_t Align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

struct Node {
  std::size_t end = 0;  // one past the node's last byte
  std::size_t keyBegin = 0;
  std::size_t keyUnits = 0;
  std::uint16_t type = 0;
  std::size_t valueBegin = 0;
  std::size_t valueEnd = 0;
  std::size_t childrenBegin = 0;
};

// The node at offset, which must lie within [offset, limit). Offsets count
// from the block's start, which is where the 32-bit alignment is measured.
std::optional<Node> ReadNode(std::span<const std::uint8_t> block, std::size_t offset, std::size_t limit) {
  if (offset >= limit || limit - offset < kNodeHeaderSize) return std::nullopt;
  const std::size_t length = GetLE<std::uint16_t>(block, offset);
  if (length < kNodeHeaderSize || length > limit - offset) return std::nullopt;
  Node node;
  node.end = offset + length;
  const std::uint16_t valueLength = GetLE<std::uint16_t>(block, offset + 2);
  node.type = GetLE<std::uint16_t>(block, offset + 4);
  node.keyBegin = offset + kNodeHeaderSize;
  std::size_t p = node.keyBegin;
  for (;; p += 2) {
    if (node.end - p < 2) return std::nullopt;  // key without terminator
    if (GetLE<std::uint16_t>(block, p) == 0) break;
  }
  node.keyUnits = (p - node.keyBegin) / 2;
  node.valueBegin = std::min(Align4(p + 2), node.end);
  // A text value counts UTF-16 units, a binary one bytes.
  const std::size_t valueBytes = node.type == kTextNode ? 2 * std::size_t{valueLength} : valueLength;
  if (node.type == kTextNode) {
    // Some resource writers count text in bytes; the node's end bounds it either way.
    node.valueEnd = node.valueBegin + std::min(valueBytes, node.end - node.valueBegin);
  } else {
    if (valueBytes > node.end - node.valueBegin) return std::nullopt;
    node.valueEnd = node.valueBegin + valueBytes;
  }
  node.childrenBegin = Align4(node.valueBegin + valueBytes);
  return node;
}

// Letter case folded for Latin and Cyrillic, as keys are compared.
char16_t Fold(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c >= 0x0410 && c <= 0x042F) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x0400 && c <= 0x040F) return static_cast<char16_t>(c + 0x50);
  return c;
}

bool KeyEquals(std::span<const std::uint8_t> block, const Node& node, std::u16string_view key) {
  if (node.keyUnits != key.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i)
    if (Fold(GetLE<std::uint16_t>(block, node.keyBegin + 2 * i)) != Fold(key[i])) return false;
  return true;
}

std::vector<std::u16string> PathKeys(std::string_view path) {
  std::vector<std::u16string> keys;
  while (!path.empty()) {
    const std::size_t slash = path.find('\\');
    const std::string_view key = path.substr(0, slash);
    if (!key.empty()) keys.push_back(Utf8ToUtf16(key));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return keys;
}

const std::vector<std::uint8_t>& RootKeyPattern() {
  static const std::vector<std::uint8_t> pattern = [] {
    // Made at run time, so that the program's own code holds no copy of the
    // key for the search in its executable to stumble over.
    std::vector<std::uint8_t> bytes;
    for (const char c : kRootKey) bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c), 0});
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
  }();
  return pattern;
}

bool IsRootAt(std::span<const std::uint8_t> bytes, std::size_t start) {
  const std::size_t length = GetLE<std::uint16_t>(bytes, start);
  return length >= kFixedFileInfoOffset + kFixedFileInfoSize && length <= bytes.size() - start &&
         GetLE<std::uint16_t>(bytes, start + 2) == kFixedFileInfoSize && GetLE<std::uint16_t>(bytes, start + 4) == 0 &&
         GetLE<std::uint32_t>(bytes, start + kFixedFileInfoOffset) == kFixedFileInfoSignature;
}

}  // namespace

std::optional<VersionValue> QueryVersionValue(std::span<const std::uint8_t> block, std::string_view path) {
  auto node = ReadNode(block, 0, block.size());
  if (!node || !KeyEquals(block, *node, Utf8ToUtf16(kRootKey))) return std::nullopt;
  for (const std::u16string& key : PathKeys(path)) {
    std::optional<Node> match;
    for (std::size_t offset = node->childrenBegin; offset < node->end;) {
      const auto child = ReadNode(block, offset, node->end);
      if (!child) break;  // a malformed child ends the list
      if (KeyEquals(block, *child, key)) {
        match = child;
        break;
      }
      offset = Align4(child->end);
    }
    if (!match) return std::nullopt;
    node = match;
  }
  VersionValue value{block.subspan(node->valueBegin, node->valueEnd - node->valueBegin), node->type == kTextNode};
  if (value.isText) {
    for (std::size_t i = 0; i + 1 < value.bytes.size(); i += 2) {
      if (GetLE<std::uint16_t>(value.bytes, i) == 0) {
        value.bytes = value.bytes.first(i);
        break;
      }
    }
  }
  return value;
}

std::string VersionValueText(const VersionValue& value) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < value.bytes.size(); i += 2) {
    const char16_t unit = GetLE<std::uint16_t>(value.bytes, i);
    if (unit == 0) break;
    units += unit;
  }
  return Utf16ToUtf8(units);
}

std::optional<FixedFileVersion> ReadFixedFileVersion(std::span<const std::uint8_t> block) {
  const auto value = QueryVersionValue(block, "\\");
  if (!value || value->bytes.size() < kFixedFileInfoSize) return std::nullopt;
  if (GetLE<std::uint32_t>(value->bytes, 0) != kFixedFileInfoSignature) return std::nullopt;
  return FixedFileVersion{GetLE<std::uint32_t>(value->bytes, 8), GetLE<std::uint32_t>(value->bytes, 12)};
}

std::optional<std::span<const std::uint8_t>> FindVersionBlock(std::span<const std::uint8_t> bytes,
                                                              std::size_t searchEnd) {
  const auto& pattern = RootKeyPattern();
  if (bytes.size() < kNodeHeaderSize) return std::nullopt;
  const std::boyer_moore_horspool_searcher searcher(pattern.begin(), pattern.end());
  auto from = bytes.begin() + kNodeHeaderSize;
  for (;;) {
    const auto found = std::search(from, bytes.end(), searcher);
    if (found == bytes.end()) return std::nullopt;
    const auto start = static_cast<std::size_t>(found - bytes.begin()) - kNodeHeaderSize;
    if (start >= searchEnd) return std::nullopt;
    if (IsRootAt(bytes, start)) return bytes.subspan(start, GetLE<std::uint16_t>(bytes, start));
    from = found + 1;
  }
}

}  // namespace vorel
