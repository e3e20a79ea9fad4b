// Hostile version blocks. The input is taken as a loaded block and read as
// the handshake reads it (translation, file version, other strings, the fixed
// file information), and as the tail of an executable file the block must be
// searched for: after 63 to 67 KiB of filler (so that the search window of
// 1 KiB plus the largest block size falls at every place), the windowed
// search over the file on disk must find exactly the block that a search of
// the whole file's bytes finds.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "scratch_file.h"
#include "base/bytes.h"
#include "version/version_block.h"
#include "version/version_block_source.h"
#include "version/version_info.h"

namespace {

using namespace vorel;


// The input as the block of any file name.
class InputSource final : public VersionBlockSource {
 public:
  explicit InputSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::optional<Bytes> Load(const std::string&) const override { return Bytes(bytes_.begin(), bytes_.end()); }

 private:
  std::span<const std::uint8_t> bytes_;
};

constexpr const char* kPaths[] = {"\\", "\\VarFileInfo\\Translation", "\\StringFileInfo\\041904E3\\FileVersion",
                                  "\\StringFileInfo", "\\\\", "", "\\StringFileInfo\\041904e3\\ProductName\\x"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::MakeScratchFile("version");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);

  const InputSource source(bytes);
  TVersionInfo reader("input", source);
  reader.TranslationText();
  reader.FileVersionText();
  reader.StringValue("ProductName");
  reader.StringValue("");
  ReadFixedFileVersion(bytes);
  for (const char* path : kPaths)
    if (const auto value = QueryVersionValue(bytes, path)) VersionValueText(*value);

  if (size == 0) return 0;
  // Not zeros: a run of zeros is the slowest text for the key search.
  Bytes file(64512 + 16 * std::size_t{data[0]}, 0xCC);
  file.insert(file.end(), bytes.begin(), bytes.end());
  const auto found = FindVersionBlock(file);
  if (found) {
    if (found->data() < file.data() || found->data() + found->size() > file.data() + file.size()) std::abort();
    const InputSource blockSource(*found);
    TVersionInfo blockReader("block", blockSource);
    blockReader.FileVersionText();
  }

  if (std::FILE* out = std::fopen(fuzz::ScratchFile().c_str(), "wb")) {
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
  }
  const EmbeddedVersionBlockSource windowed(1024);
  const auto loaded = windowed.Load(fuzz::ScratchFile().string());
  if (found.has_value() != loaded.has_value()) std::abort();
  if (found && !std::equal(found->begin(), found->end(), loaded->begin(), loaded->end())) std::abort();
  return 0;
}
