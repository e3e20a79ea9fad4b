#include <fstream>

#include "version/version_block.h"
#include "version/version_block_source.h"

namespace vorel {
namespace {

// A block's length is a 16-bit field: a block that starts in one chunk ends
// within this many bytes after it.
constexpr std::size_t kOverlap = 0x10000;

}  // namespace

EmbeddedVersionBlockSource::EmbeddedVersionBlockSource(std::size_t chunkSize)
    : chunkSize_(chunkSize == 0 ? 1 : chunkSize) {}

std::optional<Bytes> EmbeddedVersionBlockSource::Load(const std::string& fileName) const {
  if (fileName.empty()) return std::nullopt;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return std::nullopt;
  Bytes window(chunkSize_ + kOverlap);
  for (std::streamoff position = 0;; position += static_cast<std::streamoff>(chunkSize_)) {
    in.clear();
    if (!in.seekg(position)) return std::nullopt;
    in.read(reinterpret_cast<char*>(window.data()), static_cast<std::streamsize>(window.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (in.bad()) return std::nullopt;
    const bool last = got < window.size();
    // Blocks starting in the overlap are searched by the next window, where
    // they lie whole; the last window searches everything it holds.
    const auto block = FindVersionBlock(std::span(window).first(got), last ? got : chunkSize_);
    if (block) return Bytes(block->begin(), block->end());
    if (last) return std::nullopt;
  }
}

const VersionBlockSource& PlatformVersionBlockSource() {
  static const EmbeddedVersionBlockSource source;
  return source;
}

std::string OwnExecutablePath() { return "/proc/self/exe"; }

}  // namespace vorel
