// Whole-file reads and writes of the configuration file. The protocol-8 link
// thread reads "vorel.ini" before each connection attempt while the operator
// may be saving a port name on the GUI thread; replacing the file by rename
// means that thread never reads half a file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorel {

// The file's bytes; nullopt when it does not exist. Raises std::system_error
// when it exists but cannot be read (a directory, no permission, ...).
std::optional<std::string> ReadFileBytes(const std::filesystem::path& file);

// Makes `bytes` the file's content, creating the file when missing. Writes a
// temporary file beside it (with the old file's permission bits, and its owner
// where the process may set it) and renames it over the old one; a symbolic
// link is followed, so the link stays a link. When the temporary file cannot
// be created the file is rewritten in place instead. Raises std::system_error.
void ReplaceFileContents(const std::filesystem::path& file, std::string_view bytes);

// The fallback of ReplaceFileContents: writes over the old bytes, then cuts
// the file to the new length, so the file is never empty on the way.
void RewriteFileInPlace(const std::filesystem::path& file, std::string_view bytes);

}  // namespace vorel
