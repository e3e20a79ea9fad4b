// Our own reader and writer of "vorel.ini", with the rules the station
// software's profile functions have always followed: section and key names
// match whatever their letter case, white space around a value is not part of
// it, a value is read up to 2047 characters, the first of duplicate sections
// or keys wins, and a write touches only the one key it writes.
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
  // the key is missing.
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
// Integer: optionally signed decimal, or hexadecimal after "$", "0x" or "0X";
// anything else, empty included, gives the default.
std::int32_t ReadInteger(const IniFile& ini, std::string_view section, std::string_view key,
                         std::int32_t defaultValue);
// Flag: an integer, 0 off and anything else on.
bool ReadFlag(const IniFile& ini, std::string_view section, std::string_view key, bool defaultValue);
// Time: "h", "h:mm" or "h:mm:ss" as a duration in days. A value that is not a
// time raises "'<value>' is not a valid time"; a missing key gives the default.
TDateTime ReadTime(const IniFile& ini, std::string_view section, std::string_view key,
                   std::string_view defaultValue);

std::optional<std::int32_t> ParseInteger(std::string_view text);
std::optional<TDateTime> ParseTime(std::string_view text);

// Writes section/key = value into the file, creating the file, the section or
// the key when missing and leaving every other byte as it was. A failure
// raises "Unable to write to <absolute path>".
void WriteIniValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                   std::string_view value);

}  // namespace vorel
