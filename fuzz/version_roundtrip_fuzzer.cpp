// Version blocks the build could make, read back. The input chooses the
// contents (version numbers, translations, the string table's key, strings
// with any keys and texts); the block the builder makes from them must be
// found whole by the search and read back as written: the translation, the
// "FileVersion" and "ProductName" texts (keys match whatever their letter
// case; a text ends at its first NUL) and otherwise the dotted fixed version.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzzed_data_provider.h"
#include "version/utf16.h"
#include "version/version_block.h"
#include "version/version_block_builder.h"
#include "version/version_info.h"

namespace {

using namespace vorel;

class BlockSource final : public VersionBlockSource {
 public:
  explicit BlockSource(const Bytes& block) : block_(block) {}
  std::optional<Bytes> Load(const std::string&) const override { return block_; }

 private:
  const Bytes& block_;
};

bool AsciiNamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// A key as the builder gets it: the reader ends keys at a NUL, which a
// resource compiler never writes into one.
std::string Key(fuzz::FuzzedDataProvider& input, std::size_t maxLength) {
  static const char* kKeys[] = {"FileVersion", "fileversion", "FILEVERSION", "ProductName", "FileVersio",
                                "041904E3",    "041904e3",    "040904B0",    "Comments"};
  std::string key = input.ConsumeBool() ? kKeys[input.ConsumeIntegralInRange<std::size_t>(0, 8)]
                                        : input.ConsumeRandomLengthString(maxLength);
  for (char& c : key)
    if (c == '\0') c = '_';
  return key;
}

// The text the reader gives back for what the builder took: through UTF-16
// and back, up to the first NUL.
std::string ReadBack(const std::string& text) {
  std::string back = Utf16ToUtf8(Utf8ToUtf16(text));
  return back.substr(0, back.find('\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzedDataProvider input(data, size);
  VersionBlockContents contents;
  for (auto& n : contents.fileVersion) n = input.ConsumeIntegral<std::uint16_t>();
  for (auto& n : contents.productVersion) n = input.ConsumeIntegral<std::uint16_t>();
  const std::size_t translations = input.ConsumeIntegralInRange<std::size_t>(0, 3);
  for (std::size_t i = 0; i < translations; ++i)
    contents.translations.push_back(input.ConsumeBool() ? 0x04E30419u : input.ConsumeIntegral<std::uint32_t>());
  if (input.ConsumeBool()) contents.stringTableKey = Key(input, 12);
  const std::size_t strings = input.ConsumeIntegralInRange<std::size_t>(0, 6);
  for (std::size_t i = 0; i < strings; ++i) {
    std::string key = Key(input, 16);
    contents.strings.emplace_back(std::move(key), input.ConsumeRandomLengthString(64));
  }

  Bytes block;
  try {
    block = BuildVersionBlock(contents);
  } catch (const std::length_error&) {
    return 0;
  }

  const auto found = FindVersionBlock(block);
  if (!found || found->data() != block.data() || found->size() != block.size()) std::abort();

  // What the reader must give.
  const std::string translation = contents.translations.empty() ? "" : TranslationKey(contents.translations[0]);
  std::string tableKey = contents.stringTableKey;
  if (tableKey.empty()) tableKey = contents.translations.empty() ? "00000000" : translation;
  const bool tableFound = !translation.empty() && !contents.strings.empty() && AsciiNamesEqual(tableKey, translation);
  const auto expectedText = [&](std::string_view name) {
    if (!tableFound) return std::string();
    for (const auto& [key, text] : contents.strings)
      if (AsciiNamesEqual(key, name)) return ReadBack(text);
    return std::string();
  };
  std::string fileVersion = expectedText("FileVersion");
  if (fileVersion.empty()) {
    char dotted[32];
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", unsigned{contents.fileVersion[0]},
                  unsigned{contents.fileVersion[1]}, unsigned{contents.fileVersion[2]},
                  unsigned{contents.fileVersion[3]});
    fileVersion = dotted;
  }

  const BlockSource source(block);
  const TVersionInfo reader("built", source);
  if (reader.TranslationText() != translation) std::abort();
  if (reader.StringValue("ProductName") != expectedText("ProductName")) std::abort();
  if (reader.FileVersionText() != fileVersion) std::abort();
  return 0;
}
