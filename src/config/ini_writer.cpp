// Writing one key of "vorel.ini". The operator's file keeps its comments,
// spacing, order and line breaks: only the value bytes of the one key change.
#include <stdexcept>

#include "base/cp1251.h"
#include "config/file_replace.h"
#include "config/ini_file.h"
#include "config/ini_lines.h"

namespace vorel {
namespace {

// The file's own line break: that of its first line, CRLF for a file that has
// none yet (CRLF, which every editor on every platform reads).
std::string_view LineBreakOf(std::string_view bytes) {
  const std::size_t lf = bytes.find('\n');
  if (lf == std::string_view::npos) return "\r\n";
  return lf > 0 && bytes[lf - 1] == '\r' ? "\r\n" : "\n";
}

bool HoldsLineBreak(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos; }

// Names that the reader would not read back as this section and key.
void CheckNames(std::string_view section, std::string_view key) {
  const auto padded = [](std::string_view s) { return s.empty() || ini::IsBlank(s.front()) || ini::IsBlank(s.back()); };
  if (padded(section) || HoldsLineBreak(section) || section.find(']') != section.npos)
    throw std::invalid_argument("not a section name: " + std::string(section));
  if (padded(key) || HoldsLineBreak(key) || key.find('=') != key.npos || key.front() == ';' || key.front() == '#' ||
      key.front() == '[')
    throw std::invalid_argument("not a key name: " + std::string(key));
}

std::string AbsolutePath(const std::filesystem::path& file) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(file, ec);
  return ec ? file.string() : absolute.lexically_normal().string();
}

}  // namespace

std::string SetIniValue(std::string_view fileBytes, std::string_view section, std::string_view key,
                        std::string_view valueBytes) {
  CheckNames(section, key);
  // A line break in the value would write lines of its own into the file.
  if (HoldsLineBreak(valueBytes)) throw std::invalid_argument("a value cannot hold a line break");

  const std::string_view lineBreak = LineBreakOf(fileBytes);
  const std::vector<ini::Line> lines = ini::ScanLines(fileBytes);
  std::string keyLine = std::string(key) + "=" + std::string(valueBytes) + std::string(lineBreak);

  std::size_t sectionLine = lines.size();
  for (std::size_t i = 0; i < lines.size() && sectionLine == lines.size(); ++i)
    if (lines[i].kind == ini::LineKind::Section && ini::NamesEqual(lines[i].name, section)) sectionLine = i;

  if (sectionLine == lines.size()) {
    std::string out(fileBytes);
    if (!out.empty() && out.back() != '\n') out += lineBreak;
    out += "[" + std::string(section) + "]" + std::string(lineBreak) + keyLine;
    return out;
  }

  std::size_t lastNonBlank = sectionLine;
  for (std::size_t i = sectionLine + 1; i < lines.size() && lines[i].kind != ini::LineKind::Section; ++i) {
    const ini::Line& line = lines[i];
    if (line.kind == ini::LineKind::Key && ini::NamesEqual(line.name, key)) {
      std::string out(fileBytes.substr(0, line.valueBegin));
      out += valueBytes;
      out += fileBytes.substr(line.valueEnd);
      return out;
    }
    if (line.kind != ini::LineKind::Blank) lastNonBlank = i;
  }

  const ini::Line& after = lines[lastNonBlank];
  if (!after.hasBreak) return std::string(fileBytes) + std::string(lineBreak) + keyLine;  // the file's last line
  std::string out(fileBytes.substr(0, after.end + 1));
  out += keyLine;
  out += fileBytes.substr(after.end + 1);
  return out;
}

void WriteIniValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                   std::string_view value) {
  try {
    const auto old = ReadFileBytes(file);
    ReplaceFileContents(file, SetIniValue(old.value_or(std::string()), section, key, Utf8ToCp1251(value)));
  } catch (const std::exception&) {
    // One text whatever the cause: operators and scripts look for it.
    throw std::runtime_error("Unable to write to " + AbsolutePath(file));
  }
}

}  // namespace vorel
