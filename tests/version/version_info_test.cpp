#include "version/version_info.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <random>
#include <string>

#include "version/version_block.h"
#include "version/version_block_builder.h"

namespace vorel {
namespace {

// Blocks by file name; counts the loads.
class FakeVersionSource final : public VersionBlockSource {
 public:
  std::optional<Bytes> Load(const std::string& fileName) const override {
    ++loads;
    if (fileName == "throws") throw std::bad_alloc();
    const auto it = blocks.find(fileName);
    if (it == blocks.end()) return std::nullopt;
    return it->second;
  }
  std::map<std::string, Bytes> blocks;
  mutable int loads = 0;
};

VersionBlockContents Contents(std::vector<std::pair<std::string, std::string>> strings) {
  VersionBlockContents contents;
  contents.fileVersion = {8, 1, 3, 142};
  contents.translations = {0x04E30419};
  contents.strings = std::move(strings);
  return contents;
}

struct ReaderCase {
  const char* what;
  VersionBlockContents contents;
  std::string translation;
  std::string fileVersion;
  std::string productName;
};

TEST(VersionInfo, TextsOfABlock) {
  VersionBlockContents noTranslation = Contents({{"FileVersion", "1.2.3.4"}});
  noTranslation.translations.clear();
  VersionBlockContents otherTable = Contents({{"FileVersion", "1.2.3.4"}});
  otherTable.stringTableKey = "040904B0";
  VersionBlockContents twoTranslations = Contents({{"FileVersion", "5.6"}});
  twoTranslations.translations = {0x04E30419, 0x04B00409};
  VersionBlockContents english = Contents({{"FileVersion", "2.0"}, {"ProductName", "VOREL"}});
  english.translations = {0x04B00409};

  const ReaderCase cases[] = {
      {"FileVersion wins over the fixed numbers", Contents({{"FileVersion", "2.0 beta"}, {"ProductName", "VOREL"}}),
       "041904E3", "2.0 beta", "VOREL"},
      {"fixed numbers without FileVersion", Contents({{"ProductName", "VOREL"}}), "041904E3", "8.1.3.142", "VOREL"},
      {"no string table at all", Contents({}), "041904E3", "8.1.3.142", ""},
      {"empty FileVersion", Contents({{"FileVersion", ""}}), "041904E3", "8.1.3.142", ""},
      {"no translation: no string table is chosen", noTranslation, "", "8.1.3.142", ""},
      {"table of another pair", otherTable, "041904E3", "8.1.3.142", ""},
      {"only the first pair counts", twoTranslations, "041904E3", "5.6", ""},
      {"English table", english, "040904B0", "2.0", "VOREL"},
  };
  for (const ReaderCase& c : cases) {
    FakeVersionSource source;
    source.blocks["app.exe"] = BuildVersionBlock(c.contents);
    const TVersionInfo info("app.exe", source);
    EXPECT_TRUE(info.Valid()) << c.what;
    EXPECT_EQ(c.translation, info.TranslationText()) << c.what;
    EXPECT_EQ(c.fileVersion, info.FileVersionText()) << c.what;
    EXPECT_EQ(c.productName, info.StringValue("ProductName")) << c.what;
  }
}

TEST(VersionInfo, FixedNumbersPrintedUnsigned) {
  VersionBlockContents contents = Contents({});
  contents.fileVersion = {65535, 0, 40000, 1};
  FakeVersionSource source;
  source.blocks["a"] = BuildVersionBlock(contents);
  EXPECT_EQ("65535.0.40000.1", TVersionInfo("a", source).FileVersionText());
}

TEST(VersionInfo, NoBlockGivesEmptyTexts) {
  FakeVersionSource source;
  const TVersionInfo info("missing.exe", source);
  EXPECT_FALSE(info.Valid());
  EXPECT_EQ("", info.TranslationText());
  EXPECT_EQ("", info.StringValue("FileVersion"));
  EXPECT_EQ("", info.FileVersionText());
}

TEST(VersionInfo, SetFileNameLoadsAgain) {
  FakeVersionSource source;
  source.blocks["a"] = BuildVersionBlock(Contents({{"FileVersion", "1.0"}}));
  TVersionInfo info("a", source);
  info.SetFileName("a");
  EXPECT_EQ(2, source.loads);
  EXPECT_EQ("1.0", info.FileVersionText());
  info.SetFileName("b");
  EXPECT_EQ("b", info.FileName());
  EXPECT_FALSE(info.Valid());
  EXPECT_EQ("", info.FileVersionText());
}

TEST(VersionInfo, AllocationFailurePropagates) {
  FakeVersionSource source;
  EXPECT_THROW(TVersionInfo("throws", source), std::bad_alloc);
}

TEST(VersionInfo, DamagedBlocksGiveEmptyOrSoundTexts) {
  const Bytes good = BuildVersionBlock(Contents({{"FileVersion", "8.1.3.142"}, {"ProductName", "VOREL"}}));
  FakeVersionSource source;
  for (std::size_t size = 0; size < good.size(); ++size) {
    source.blocks["cut"] = Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    const TVersionInfo info("cut", source);
    ASSERT_EQ("", info.TranslationText()) << size;
    ASSERT_EQ("", info.FileVersionText()) << size;
  }
  std::mt19937 random(99);
  for (int round = 0; round < 5000; ++round) {
    Bytes block = good;
    block[random() % block.size()] = static_cast<std::uint8_t>(random());
    block[random() % block.size()] = static_cast<std::uint8_t>(random());
    source.blocks["flipped"] = block;
    const TVersionInfo info("flipped", source);
    const std::string translation = info.TranslationText();
    ASSERT_TRUE(translation.empty() || translation.size() == 8) << translation;
    info.FileVersionText();
    info.StringValue("ProductName");
  }
}

class VersionFile : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("vorel_p8_version_" + std::to_string(::getpid()) + "_" +
                                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const Bytes& bytes) {
    const auto path = dir_ / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }

  std::filesystem::path dir_;
};

TEST_F(VersionFile, BlockFoundWhereverItLies) {
  const Bytes block = BuildVersionBlock(Contents({{"FileVersion", "3.4.5.6"}}));
  std::mt19937 random(5);
  Bytes noise(3000);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random());
  struct Placement {
    std::size_t before;
    std::size_t after;
  };
  // Small chunk sizes put the block across window borders.
  for (const std::size_t chunk : {std::size_t{1}, std::size_t{64}, std::size_t{1000}, std::size_t{1} << 20}) {
    const EmbeddedVersionBlockSource source(chunk);
    for (const Placement p : {Placement{0, 0}, Placement{1001, 2000}, Placement{2999, 0}, Placement{63, 1}}) {
      Bytes file(noise.begin(), noise.begin() + static_cast<std::ptrdiff_t>(p.before));
      file.insert(file.end(), block.begin(), block.end());
      file.insert(file.end(), noise.begin(), noise.begin() + static_cast<std::ptrdiff_t>(p.after));
      const TVersionInfo info(Write("program", file), source);
      EXPECT_EQ("3.4.5.6", info.FileVersionText()) << "chunk " << chunk << " at " << p.before;
      EXPECT_EQ("041904E3", info.TranslationText());
    }
  }
}

TEST_F(VersionFile, FileWithoutBlock) {
  const EmbeddedVersionBlockSource source(100);
  Bytes noise(70000);
  std::mt19937 random(11);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random());
  for (const std::string& name :
       {Write("noise", noise), Write("empty", {}), (dir_ / "absent").string(), dir_.string(), std::string()}) {
    const TVersionInfo info(name, source);
    EXPECT_FALSE(info.Valid()) << name;
    EXPECT_EQ("", info.FileVersionText()) << name;
  }
}

// The executable carries the block made from the project's version, and
// --version prints what the reader finds there.
TEST(VersionInfoOfTheProgram, ReadsTheProjectVersion) {
  const TVersionInfo info(VOREL_BINARY);
  EXPECT_EQ(VOREL_PROJECT_VERSION, info.FileVersionText());
  EXPECT_EQ("041904E3", info.TranslationText());
  EXPECT_EQ("VOREL", info.StringValue("ProductName"));

  const std::string command = std::string(VOREL_BINARY) + " --version";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(nullptr, pipe);
  char line[256] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  EXPECT_EQ(0, ::pclose(pipe));
  ASSERT_TRUE(read);
  EXPECT_EQ(std::string("vorel ") + VOREL_PROJECT_VERSION + "\n", line);
}

}  // namespace
}  // namespace vorel
