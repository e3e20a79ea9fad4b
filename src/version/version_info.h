// The version resource reader of an executable file. The protocol-8
// handshake reads the program's own file version with it once per connection.
// A file without a version block, or one that cannot be read, gives empty
// texts from every query.
#pragma once

#include <string>
#include <string_view>

#include "base/bytes.h"
#include "version/version_block_source.h"

namespace vorel {

class TVersionInfo {
 public:
  // Keeps a copy of the name and loads the file's block. A failure to
  // allocate the block propagates; any other failure leaves the reader
  // invalid.
  explicit TVersionInfo(std::string fileName, const VersionBlockSource& source = PlatformVersionBlockSource());
  virtual ~TVersionInfo() = default;

  // Releases the block, takes the new name and loads again.
  void SetFileName(std::string fileName);
  const std::string& FileName() const { return fileName_; }
  // Whether a block was loaded.
  bool Valid() const { return valid_; }

  // The first language/code-page pair: the language, then the code page,
  // each as 4 upper-case hex digits ("041904E3"); empty without one.
  std::string TranslationText() const;
  // The text under key in the string table of the first pair; empty when
  // there is none.
  std::string StringValue(std::string_view key) const;
  // The "FileVersion" string unchanged; without one the four numbers of the
  // fixed file information as "8.1.3.142"; empty when neither can be read.
  std::string FileVersionText() const;

 private:
  void Load();

  const VersionBlockSource* source_;
  std::string fileName_;
  bool valid_ = false;
  Bytes block_;
};

}  // namespace vorel
