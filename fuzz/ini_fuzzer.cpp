// Hostile "vorel.ini" files. The input up to its first NUL byte is the file;
// after it, when present, come a section name, a key name and a value, each
// ended by NUL, for one write. The file is read as the program reads it (the
// typed reads of every setting, from disk as at start-up, and of the named
// key), and the one key is written into it: a write that is accepted must
// read back as written and leave every other setting as it was.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "scratch_file.h"
#include "config/ini_file.h"
#include "config/ini_lines.h"
#include "config/settings.h"

namespace {

using namespace vorel;


struct Key {
  const char* section;
  const char* key;
};
constexpr Key kSettingKeys[] = {
    {"port", "ComPort"},   {"port", "BaudRate"},      {"portUSB", "DTR"},        {"main", "n_abs"},
    {"main", "Log"},       {"main", "FirstNumber"},   {"main", "PathForSoob"},   {"main", "Attention"},
    {"main", "host"},      {"ServerHost", "Address"}, {"ServerHost", "Port"},
};

std::string_view NextField(std::string_view& rest) {
  const std::size_t end = rest.find('\0');
  const std::string_view field = rest.substr(0, end);
  rest = end == rest.npos ? std::string_view() : rest.substr(end + 1);
  return field;
}

void ReadTyped(const IniFile& ini, std::string_view section, std::string_view key) {
  ReadText(ini, section, key, "default");
  ReadInteger(ini, section, key, -7);
  ReadFlag(ini, section, key, true);
  try {
    ReadTime(ini, section, key, "00:10:00");
  } catch (const std::runtime_error&) {
    // not a time: the program reports it and stops loading
  }
}

bool Padded(std::string_view s) { return !s.empty() && (ini::IsBlank(s.front()) || ini::IsBlank(s.back())); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::MakeScratchFile("ini");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view file = NextField(rest);
  const bool writes = !rest.empty();
  const std::string_view section = NextField(rest);
  const std::string_view key = NextField(rest);
  const std::string_view value = NextField(rest);

  const IniFile ini = IniFile::Parse(file);
  for (const Key& k : kSettingKeys) ReadTyped(ini, k.section, k.key);
  ReadTyped(ini, section, key);

  if (std::FILE* out = std::fopen(fuzz::ScratchFile().c_str(), "wb")) {
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
  }
  Settings settings;
  try {
    LoadSettings(fuzz::ScratchFile(), settings);
  } catch (const std::runtime_error&) {
  }
  ReadServerAddress(fuzz::ScratchFile());

  if (!writes) return 0;
  std::string written;
  try {
    written = SetIniValue(file, section, key, value);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  const IniFile after = IniFile::Parse(written);
  // The reader trims and cuts; compare only values it keeps as they are.
  if (!Padded(value) && value.size() <= kMaxIniValueLength && after.Value(section, key) != std::string(value))
    std::abort();
  for (const Key& k : kSettingKeys) {
    if (ini::NamesEqual(k.section, section) && ini::NamesEqual(k.key, key)) continue;
    if (after.Value(k.section, k.key) != ini.Value(k.section, k.key)) std::abort();
  }
  return 0;
}
