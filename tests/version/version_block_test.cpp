#include "version/version_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/cp1251.h"
#include "version/version_block_builder.h"

namespace vorel {
namespace {

VersionBlockContents RussianContents() {
  VersionBlockContents contents;
  contents.fileVersion = {8, 1, 3, 142};
  contents.productVersion = {8, 1, 0, 0};
  contents.translations = {0x04E30419};
  contents.strings = {{"FileVersion", "8.1.3.142"}, {"ProductName", "VOREL"}, {"FileDescription", "Драйвер VOREL"}};
  return contents;
}

// Offset of the node whose key is key (ASCII), found by its UTF-16 bytes.
std::size_t NodeOffset(const Bytes& block, std::string_view key) {
  Bytes pattern;
  for (char c : key) pattern.insert(pattern.end(), {static_cast<std::uint8_t>(c), 0});
  pattern.insert(pattern.end(), {0, 0});
  const auto found = std::search(block.begin(), block.end(), pattern.begin(), pattern.end());
  if (found == block.end()) throw std::logic_error("no node " + std::string(key));
  return static_cast<std::size_t>(found - block.begin()) - 6;
}

std::string Text(const Bytes& block, std::string_view path) {
  const auto value = QueryVersionValue(block, path);
  return value ? VersionValueText(*value) : "<none>";
}

TEST(VersionBlock, BuiltLayout) {
  const Bytes block = BuildVersionBlock(RussianContents());
  EXPECT_EQ(block.size(), GetLE<std::uint16_t>(block, 0));
  EXPECT_EQ(kFixedFileInfoSize, GetLE<std::uint16_t>(block, 2));
  EXPECT_EQ(0, GetLE<std::uint16_t>(block, 4));
  EXPECT_EQ(kFixedFileInfoSignature, GetLE<std::uint32_t>(block, kFixedFileInfoOffset));
  EXPECT_EQ(0x00080001u, GetLE<std::uint32_t>(block, kFixedFileInfoOffset + 8));
  EXPECT_EQ(0x0003008Eu, GetLE<std::uint32_t>(block, kFixedFileInfoOffset + 12));
  // Every node starts on a 32-bit boundary.
  for (const char* key : {"StringFileInfo", "041904E3", "FileVersion", "ProductName", "VarFileInfo", "Translation"})
    EXPECT_EQ(0u, NodeOffset(block, key) % 4) << key;
  const std::size_t translation = NodeOffset(block, "Translation");
  EXPECT_EQ(4, GetLE<std::uint16_t>(block, translation + 2));  // value length in bytes
  EXPECT_EQ(0x04E30419u, GetLE<std::uint32_t>(block, translation + 32));
  const std::size_t fileVersion = NodeOffset(block, "FileVersion");
  EXPECT_EQ(10, GetLE<std::uint16_t>(block, fileVersion + 2));  // UTF-16 units with the terminator
  EXPECT_EQ(1, GetLE<std::uint16_t>(block, fileVersion + 4));
}

TEST(VersionBlock, QueriesLikeThePlatform) {
  const Bytes block = BuildVersionBlock(RussianContents());
  const auto root = QueryVersionValue(block, "\\");
  ASSERT_TRUE(root);
  EXPECT_FALSE(root->isText);
  EXPECT_EQ(kFixedFileInfoSize, root->bytes.size());
  const auto translation = QueryVersionValue(block, "\\VarFileInfo\\Translation");
  ASSERT_TRUE(translation);
  EXPECT_EQ(Bytes({0x19, 0x04, 0xE3, 0x04}), Bytes(translation->bytes.begin(), translation->bytes.end()));

  struct Case {
    const char* path;
    std::string want;
  };
  const Case cases[] = {
      {"\\StringFileInfo\\041904E3\\FileVersion", "8.1.3.142"},
      {"\\stringfileinfo\\041904e3\\fileversion", "8.1.3.142"},
      {"\\StringFileInfo\\041904E3\\PRODUCTNAME", "VOREL"},
      {"\\StringFileInfo\\041904E3\\FileDescription", "Драйвер VOREL"},
      {"\\StringFileInfo\\040904B0\\FileVersion", "<none>"},
      {"\\StringFileInfo\\041904E3\\Comments", "<none>"},
      {"\\StringFileInfo\\041904E3\\FileVersion\\More", "<none>"},
      {"\\NoSuchNode", "<none>"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.want, Text(block, c.path)) << c.path;

  const auto fixed = ReadFixedFileVersion(block);
  ASSERT_TRUE(fixed);
  EXPECT_EQ(0x00080001u, fixed->mostSignificant);
  EXPECT_EQ(0x0003008Eu, fixed->leastSignificant);
}

TEST(VersionBlock, CyrillicKeysCompareWithoutCase) {
  VersionBlockContents contents = RussianContents();
  contents.strings.push_back({"Примечание", "да"});
  const Bytes block = BuildVersionBlock(contents);
  EXPECT_EQ("да", Text(block, "\\StringFileInfo\\041904E3\\ПРИМЕЧАНИЕ"));
}

// Damage at one spot; each must make the query concerned fail, never read
// outside the block.
TEST(VersionBlock, CorruptNodesMakeQueriesFail) {
  const Bytes good = BuildVersionBlock(RussianContents());
  const std::size_t stringTable = NodeOffset(good, "041904E3");
  const std::size_t fileVersion = NodeOffset(good, "FileVersion");
  const std::size_t translation = NodeOffset(good, "Translation");
  struct Case {
    const char* what;
    void (*damage)(Bytes&, std::size_t stringTable, std::size_t fileVersion, std::size_t translation);
    const char* path;
  };
  const Case cases[] = {
      {"root longer than the block",
       [](Bytes& b, std::size_t, std::size_t, std::size_t) {
         PutLE<std::uint16_t>(b, 0, static_cast<std::uint16_t>(b.size() + 4));
       },
       "\\StringFileInfo\\041904E3\\FileVersion"},
      {"root length below a header",
       [](Bytes& b, std::size_t, std::size_t, std::size_t) { PutLE<std::uint16_t>(b, 0, 5); }, "\\"},
      {"root key not VS_VERSION_INFO", [](Bytes& b, std::size_t, std::size_t, std::size_t) { b[6] = 'W'; }, "\\"},
      {"string table longer than its parent",
       [](Bytes& b, std::size_t t, std::size_t, std::size_t) { PutLE<std::uint16_t>(b, t, 0xFFF0); },
       "\\StringFileInfo\\041904E3\\FileVersion"},
      {"string key without terminator",
       [](Bytes& b, std::size_t, std::size_t f, std::size_t) {
         // "FileVersion" fills the node up to its end: 6 + 22 bytes.
         PutLE<std::uint16_t>(b, f, 6 + 22);
       },
       "\\StringFileInfo\\041904E3\\FileVersion"},
      {"binary value beyond its node",
       [](Bytes& b, std::size_t, std::size_t, std::size_t v) { PutLE<std::uint16_t>(b, v + 2, 200); },
       "\\VarFileInfo\\Translation"},
      {"fixed info beyond the root",
       [](Bytes& b, std::size_t, std::size_t, std::size_t) { PutLE<std::uint16_t>(b, 2, 0xFFFF); }, "\\"},
  };
  for (const Case& c : cases) {
    Bytes block = good;
    c.damage(block, stringTable, fileVersion, translation);
    EXPECT_FALSE(QueryVersionValue(block, c.path)) << c.what;
  }
}

TEST(VersionBlock, FixedInfoNeedsItsSignatureAndSize) {
  Bytes block = BuildVersionBlock(RussianContents());
  block[kFixedFileInfoOffset] ^= 0x01;
  EXPECT_FALSE(ReadFixedFileVersion(block));
  EXPECT_EQ("8.1.3.142", Text(block, "\\StringFileInfo\\041904E3\\FileVersion"));  // the rest still reads

  block = BuildVersionBlock(RussianContents());
  PutLE<std::uint16_t>(block, 2, 0);  // a root without fixed info: its children follow the key
  EXPECT_FALSE(ReadFixedFileVersion(block));
}

TEST(VersionBlock, TextValueStopsAtItsNode) {
  // Value length counted in bytes instead of units: the text still ends where its node does.
  Bytes block = BuildVersionBlock(RussianContents());
  const std::size_t fileVersion = NodeOffset(block, "FileVersion");
  PutLE<std::uint16_t>(block, fileVersion + 2, 20);
  EXPECT_EQ("8.1.3.142", Text(block, "\\StringFileInfo\\041904E3\\FileVersion"));
}

TEST(VersionBlock, FoundAmongOtherBytes) {
  const Bytes block = BuildVersionBlock(RussianContents());
  std::mt19937 random(7);
  Bytes file(1001);
  for (auto& b : file) b = static_cast<std::uint8_t>(random());
  // A decoy: the key without a valid fixed-info signature after it.
  Bytes decoy = block;
  decoy[kFixedFileInfoOffset] = 0;
  file.insert(file.end(), decoy.begin(), decoy.end());
  file.push_back(0x42);
  const std::size_t at = file.size();
  file.insert(file.end(), block.begin(), block.end());
  file.insert(file.end(), 333, 0xEE);

  const auto found = FindVersionBlock(file);
  ASSERT_TRUE(found);
  EXPECT_EQ(file.data() + at, found->data());
  EXPECT_EQ(block, Bytes(found->begin(), found->end()));
  EXPECT_FALSE(FindVersionBlock(file, at));  // only blocks starting before searchEnd
  EXPECT_TRUE(FindVersionBlock(file, at + 1));
  EXPECT_FALSE(FindVersionBlock(std::span(file).first(at + block.size() - 1)));  // cut short
  EXPECT_FALSE(FindVersionBlock(Bytes(5000, 0)));
  EXPECT_FALSE(FindVersionBlock(Bytes{}));
}

TEST(VersionBlock, EveryTruncationFails) {
  const Bytes block = BuildVersionBlock(RussianContents());
  for (std::size_t size = 0; size < block.size(); ++size) {
    const Bytes cut(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_FALSE(QueryVersionValue(cut, "\\")) << size;
    EXPECT_FALSE(QueryVersionValue(cut, "\\StringFileInfo\\041904E3\\FileVersion")) << size;
    EXPECT_FALSE(FindVersionBlock(cut)) << size;
  }
}

// Random damage for a fixed number of rounds: the reading code must stay
// inside the buffer (the sanitizer build checks that) and give well-formed text.
TEST(VersionBlock, RandomDamageStaysInBounds) {
  const Bytes good = BuildVersionBlock(RussianContents());
  std::mt19937 random(20240601);
  const char* paths[] = {"\\", "\\VarFileInfo\\Translation", "\\StringFileInfo\\041904E3\\FileVersion",
                         "\\StringFileInfo\\041904E3\\FileDescription", "\\StringFileInfo\\041904E3\\ProductName"};
  for (int round = 0; round < 20000; ++round) {
    Bytes block = good;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) block[random() % block.size()] = static_cast<std::uint8_t>(random());
    if (random() % 2 == 0) block.resize(random() % (block.size() + 1));
    block.shrink_to_fit();
    for (const char* path : paths) {
      const auto value = QueryVersionValue(block, path);
      if (!value) continue;
      ASSERT_GE(value->bytes.data(), block.data());
      ASSERT_LE(value->bytes.data() + value->bytes.size(), block.data() + block.size());
      ASSERT_TRUE(IsValidUtf8(VersionValueText(*value)));
    }
    ReadFixedFileVersion(block);
    if (const auto found = FindVersionBlock(block)) {
      ASSERT_LE(found->size(), block.size());
    }
  }
}

}  // namespace
}  // namespace vorel
