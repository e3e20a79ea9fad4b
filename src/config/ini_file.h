// Our own reader and writer of "vorel.ini", with the rules the station
// software's profile functions have always followed: section and key names
// match whatever their letter case, white space around a value is not part of
// it, a value is read up to 2047 characters, the first of duplicate sections
// or keys wins, and a write touches only the one key it writes. Lines whose
// first non-blank character is ';' or '#' are comments (the shipped sample is
// commented); lines end in LF or CRLF.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/datetime.h"

namespace vorel {

inline constexpr std::size_t kMaxIniValueLength = 2047;

class IniFile {
 public:
  // A file that is missing or cannot be read is an empty file.
  static IniFile Load(const std::filesystem::path& file);
  static IniFile Parse(std::string_view bytes);

  // The trimmed value as stored (8-bit bytes), nullopt when the section or
  // the key is missing. Only the first section of a name is read, and in it
  // the first line of a key. A value is cut after kMaxIniValueLength bytes (a
  // little earlier in a UTF-8 value, so that no character is split).
  std::optional<std::string> Value(std::string_view section, std::string_view key) const;

 private:
  struct Entry {
    std::string section;
    std::string key;
    std::string value;
  };
  std::vector<Entry> entries_;
};

// Typed reads with defaults.
// Text: the value as stored, decoded to UTF-8 (Windows-1251 or UTF-8 files);
// an empty value is a value.
std::string ReadText(const IniFile& ini, std::string_view section, std::string_view key,
                     std::string_view defaultValue);
// Integer: optionally signed decimal, or hexadecimal after "$", "0x" or "0X"
// (a sign may stand before the prefix: "-$10" is -16); anything else, empty
// and trailing characters included, gives the default. A decimal number must
// fit in 32 bits. A hexadecimal one may take all 32 bits, and $80000000 to
// $FFFFFFFF wrap round to negative numbers ($FFFFFFFF is -1): configuration files
// written for 32-bit builds of the driver store negative values that way.
std::int32_t ReadInteger(const IniFile& ini, std::string_view section, std::string_view key,
                         std::int32_t defaultValue);
// Flag: an integer, 0 off and anything else on.
bool ReadFlag(const IniFile& ini, std::string_view section, std::string_view key, bool defaultValue);
// Time: "h", "h:mm" or "h:mm:ss" (one or two digits each; hours 0-23, minutes
// and seconds 0-59) as a duration in days. A value that is not a time, empty
// included, raises std::runtime_error "'<value>' is not a valid time"; a
// missing key gives the default (itself written as a time).
TDateTime ReadTime(const IniFile& ini, std::string_view section, std::string_view key,
                   std::string_view defaultValue);

std::optional<std::int32_t> ParseInteger(std::string_view text);
std::optional<TDateTime> ParseTime(std::string_view text);

// The file's bytes with section/key set to `valueBytes`: the value of the key
// line the reader would take is replaced; a missing key is inserted after the
// last non-blank line of the section; a missing section is appended at the end.
// Every other byte stays as it was. New lines use the file's own line break
// (CRLF when it has none yet). A value holding CR, LF or NUL would add lines
// of its own: it raises std::invalid_argument, as do names the reader would
// not read back.
std::string SetIniValue(std::string_view fileBytes, std::string_view section, std::string_view key,
                        std::string_view valueBytes);

// Writes section/key = value (UTF-8, stored as Windows-1251) into the file as
// SetIniValue does, creating the file when missing. The new content goes to a
// temporary file that replaces the old one, so a reader on another thread sees
// the old file or the new one, never a part; when no temporary file can be
// made beside it (directory not writable) the file is rewritten in place. A
// failure, or a value holding a line break, raises std::runtime_error
// "Unable to write to <absolute path>".
void WriteIniValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                   std::string_view value);

}  // namespace vorel
