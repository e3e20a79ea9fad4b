#include "version/version_info.h"

#include <cstdio>
#include <utility>

#include "version/version_block.h"
#include "version/version_block_builder.h"

namespace vorel {

TVersionInfo::TVersionInfo(std::string fileName, const VersionBlockSource& source)
    : source_(&source), fileName_(std::move(fileName)) {
  Load();
}

void TVersionInfo::SetFileName(std::string fileName) {
  Bytes().swap(block_);
  valid_ = false;
  fileName_ = std::move(fileName);
  Load();
}

void TVersionInfo::Load() {
  valid_ = false;
  auto block = source_->Load(fileName_);
  if (!block || block->empty()) return;
  block_ = std::move(*block);
  valid_ = true;
}

std::string TVersionInfo::TranslationText() const {
  if (!valid_) return {};
  const auto value = QueryVersionValue(block_, "\\VarFileInfo\\Translation");
  if (!value || value->bytes.size() < 4) return {};
  return TranslationKey(GetLE<std::uint32_t>(value->bytes, 0));
}

std::string TVersionInfo::StringValue(std::string_view key) const {
  if (!valid_) return {};
  const std::string translation = TranslationText();
  if (translation.empty()) return {};  // no pair, no string table to look in
  const auto value = QueryVersionValue(block_, "\\StringFileInfo\\" + translation + "\\" + std::string(key));
  if (!value) return {};
  return VersionValueText(*value);
}

std::string TVersionInfo::FileVersionText() const {
  std::string text = StringValue("FileVersion");
  if (!text.empty() || !valid_) return text;
  const auto fixed = ReadFixedFileVersion(block_);
  if (!fixed) return {};
  char dotted[32];
  std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", static_cast<unsigned>(fixed->mostSignificant >> 16),
                static_cast<unsigned>(fixed->mostSignificant & 0xFFFF),
                static_cast<unsigned>(fixed->leastSignificant >> 16),
                static_cast<unsigned>(fixed->leastSignificant & 0xFFFF));
  return dotted;
}

}  // namespace vorel
