#include "version/version_block_builder.h"

#include <cstdio>
#include <stdexcept>

#include "version/utf16.h"
#include "version/version_block.h"

namespace vorel {
namespace {

struct Node {
  std::string key;
  std::uint16_t type = 0;  // 0 binary, 1 text
  Bytes value;
  std::uint16_t valueLength = 0;  // bytes for binary values, UTF-16 units for texts
  std::vector<Node> children;
};

void PadTo4(Bytes& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}

void AppendUtf16(Bytes& out, const std::u16string& text) {
  for (const char16_t unit : text)
    out.insert(out.end(), {static_cast<std::uint8_t>(unit & 0xFF), static_cast<std::uint8_t>(unit >> 8)});
  out.insert(out.end(), {0, 0});
}

void Emit(Bytes& out, const Node& node) {
  const std::size_t start = out.size();
  out.resize(start + 6);
  AppendUtf16(out, Utf8ToUtf16(node.key));
  PadTo4(out);
  out.insert(out.end(), node.value.begin(), node.value.end());
  for (const Node& child : node.children) {
    PadTo4(out);
    Emit(out, child);
  }
  const std::size_t length = out.size() - start;
  if (length > 0xFFFF) throw std::length_error("version block: node longer than 65535 bytes");
  PutLE<std::uint16_t>(out, start, static_cast<std::uint16_t>(length));
  PutLE<std::uint16_t>(out, start + 2, node.valueLength);
  PutLE<std::uint16_t>(out, start + 4, node.type);
}

Node TextNode(const std::string& key, const std::string& text) {
  Node node{key, 1, {}, 0, {}};
  const std::u16string units = Utf8ToUtf16(text);
  if (units.size() + 1 > 0xFFFF) throw std::length_error("version block: text too long");
  AppendUtf16(node.value, units);
  node.valueLength = static_cast<std::uint16_t>(units.size() + 1);
  return node;
}

std::uint32_t VersionField(std::uint16_t high, std::uint16_t low) { return std::uint32_t{high} << 16 | low; }

Bytes FixedFileInfo(const VersionBlockContents& contents) {
  Bytes info(kFixedFileInfoSize, 0);
  PutLE<std::uint32_t>(info, 0, kFixedFileInfoSignature);
  PutLE<std::uint32_t>(info, 4, 0x00010000);  // structure version 1.0
  PutLE<std::uint32_t>(info, 8, VersionField(contents.fileVersion[0], contents.fileVersion[1]));
  PutLE<std::uint32_t>(info, 12, VersionField(contents.fileVersion[2], contents.fileVersion[3]));
  PutLE<std::uint32_t>(info, 16, VersionField(contents.productVersion[0], contents.productVersion[1]));
  PutLE<std::uint32_t>(info, 20, VersionField(contents.productVersion[2], contents.productVersion[3]));
  PutLE<std::uint32_t>(info, 24, 0x3F);        // file flags mask: all defined flags
  PutLE<std::uint32_t>(info, 32, 0x00040004);  // operating system: 32-bit Windows on NT
  PutLE<std::uint32_t>(info, 36, 1);           // file type: application
  return info;
}

}  // namespace

std::string TranslationKey(std::uint32_t translation) {
  char text[9];
  std::snprintf(text, sizeof text, "%04X%04X", static_cast<unsigned>(translation & 0xFFFF),
                static_cast<unsigned>(translation >> 16));
  return text;
}

Bytes BuildVersionBlock(const VersionBlockContents& contents) {
  Node root{"VS_VERSION_INFO", 0, FixedFileInfo(contents), static_cast<std::uint16_t>(kFixedFileInfoSize), {}};
  if (!contents.strings.empty()) {
    std::string tableKey = contents.stringTableKey;
    if (tableKey.empty())
      tableKey = contents.translations.empty() ? "00000000" : TranslationKey(contents.translations[0]);
    Node table{tableKey, 1, {}, 0, {}};
    for (const auto& [key, text] : contents.strings) table.children.push_back(TextNode(key, text));
    root.children.push_back(Node{"StringFileInfo", 1, {}, 0, {std::move(table)}});
  }
  if (!contents.translations.empty()) {
    Node var{"Translation", 0, {}, 0, {}};
    for (const std::uint32_t translation : contents.translations) {
      var.value.resize(var.value.size() + 4);
      PutLE<std::uint32_t>(var.value, var.value.size() - 4, translation);
    }
    if (var.value.size() > 0xFFFF) throw std::length_error("version block: too many translations");
    var.valueLength = static_cast<std::uint16_t>(var.value.size());
    root.children.push_back(Node{"VarFileInfo", 1, {}, 0, {std::move(var)}});
  }
  Bytes block;
  Emit(block, root);
  return block;
}

}  // namespace vorel
