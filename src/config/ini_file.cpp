#include "config/ini_file.h"

#include <stdexcept>

#include "base/cp1251.h"
#include "config/file_replace.h"
#include "config/ini_lines.h"

namespace vorel {
namespace {

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The value as it fits the reader's 2048-byte buffer. A
// UTF-8 value (written by a Linux editor) is cut before a split character,
// so that it still decodes as UTF-8 and not as Windows-1251 gibberish.
std::string CutValue(std::string_view value) {
  if (value.size() <= kMaxIniValueLength) return std::string(value);
  std::size_t cut = kMaxIniValueLength;
  if (IsValidUtf8(value))
    while (cut > 0 && IsContinuationByte(value[cut])) --cut;
  return std::string(value.substr(0, cut));
}

int DigitValue(char c, int base) {
  int digit = 16;
  if (c >= '0' && c <= '9') digit = c - '0';
  else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
  return digit < base ? digit : -1;
}

std::runtime_error NotATime(std::string_view value) {
  return std::runtime_error("'" + DecodeText8(value) + "' is not a valid time");
}

}  // namespace

IniFile IniFile::Load(const std::filesystem::path& file) {
  try {
    const auto bytes = ReadFileBytes(file);
    return bytes ? Parse(*bytes) : IniFile();
  } catch (const std::exception&) {
    return IniFile();  // unreadable: as if missing, every key takes its default
  }
}

IniFile IniFile::Parse(std::string_view bytes) {
  IniFile ini;
  std::vector<std::string_view> sectionsSeen;
  std::string_view section;
  bool reading = false;  // keys before the first section, or in a repeated one, are not read
  for (const ini::Line& line : ini::ScanLines(bytes)) {
    if (line.kind == ini::LineKind::Section) {
      section = line.name;
      reading = true;
      for (std::string_view seen : sectionsSeen)
        if (ini::NamesEqual(seen, section)) reading = false;
      if (reading) sectionsSeen.push_back(section);
    } else if (line.kind == ini::LineKind::Key && reading) {
      ini.entries_.push_back({std::string(section), std::string(line.name),
                              CutValue(bytes.substr(line.valueBegin, line.valueEnd - line.valueBegin))});
    }
  }
  return ini;
}

std::optional<std::string> IniFile::Value(std::string_view section, std::string_view key) const {
  for (const Entry& entry : entries_)
    if (ini::NamesEqual(entry.section, section) && ini::NamesEqual(entry.key, key)) return entry.value;
  return std::nullopt;
}

std::optional<std::int32_t> ParseInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.starts_with('$')) {
    base = 16;
    text.remove_prefix(1);
  } else if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  // Decimal must fit a signed 32-bit number; hexadecimal may use all 32 bits.
  const std::uint64_t limit = base == 16 ? 0xFFFF'FFFFull : negative ? 0x8000'0000ull : 0x7FFF'FFFFull;
  std::uint64_t value = 0;
  for (char c : text) {
    const int digit = DigitValue(c, base);
    if (digit < 0) return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if (value > limit) return std::nullopt;
  }
  // Modulo 2^32, as a 32-bit register holds it: $FFFFFFFF is -1 and
  // -$80000000 is the smallest number.
  std::uint32_t bits = static_cast<std::uint32_t>(value);
  if (negative) bits = 0u - bits;
  return static_cast<std::int32_t>(bits);
}

std::optional<TDateTime> ParseTime(std::string_view text) {
  int fields[3] = {0, 0, 0};  // hours, minutes, seconds
  int count = 0;
  std::size_t i = 0;
  for (;;) {
    if (count == 3) return std::nullopt;
    int value = 0;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (++digits > 2) return std::nullopt;
      value = value * 10 + (text[i] - '0');
      ++i;
    }
    if (digits == 0) return std::nullopt;
    fields[count++] = value;
    if (i == text.size()) break;
    if (text[i] != ':') return std::nullopt;
    ++i;
  }
  return EncodeTime(fields[0], fields[1], fields[2], 0);
}

std::string ReadText(const IniFile& ini, std::string_view section, std::string_view key,
                     std::string_view defaultValue) {
  const auto value = ini.Value(section, key);
  return value ? DecodeText8(*value) : std::string(defaultValue);
}

std::int32_t ReadInteger(const IniFile& ini, std::string_view section, std::string_view key,
                         std::int32_t defaultValue) {
  const auto value = ini.Value(section, key);
  if (!value) return defaultValue;
  return ParseInteger(*value).value_or(defaultValue);
}

bool ReadFlag(const IniFile& ini, std::string_view section, std::string_view key, bool defaultValue) {
  return ReadInteger(ini, section, key, defaultValue ? 1 : 0) != 0;
}

TDateTime ReadTime(const IniFile& ini, std::string_view section, std::string_view key,
                   std::string_view defaultValue) {
  const auto value = ini.Value(section, key);
  const std::string_view text = value ? std::string_view(*value) : defaultValue;
  const auto time = ParseTime(text);
  if (!time) throw NotATime(text);
  return *time;
}

}  // namespace vorel
