#include "config/ini_lines.h"

namespace vorel::ini {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Offsets of `text` within `[from, to)` of `bytes` with blank bytes cut off both ends.
void TrimSpan(std::string_view bytes, std::size_t& from, std::size_t& to) {
  while (from < to && IsBlank(bytes[from])) ++from;
  while (to > from && IsBlank(bytes[to - 1])) --to;
}

Line Classify(std::string_view bytes, std::size_t begin, std::size_t end) {
  Line line;
  line.begin = begin;
  line.end = end;
  std::size_t from = begin;
  if (from == 0 && bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) from = kUtf8Bom.size();
  std::size_t to = end;
  TrimSpan(bytes, from, to);
  if (from == to) {
    line.kind = LineKind::Blank;
    return line;
  }
  const std::string_view text = bytes.substr(from, to - from);
  if (text.front() == ';' || text.front() == '#') {
    line.kind = LineKind::Comment;
    return line;
  }
  if (text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) {
      line.kind = LineKind::Other;
      return line;
    }
    std::size_t nameFrom = from + 1;
    std::size_t nameTo = from + close;
    TrimSpan(bytes, nameFrom, nameTo);
    line.kind = LineKind::Section;
    line.name = bytes.substr(nameFrom, nameTo - nameFrom);
    return line;
  }
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) {
    line.kind = LineKind::Other;
    return line;
  }
  std::size_t nameFrom = from;
  std::size_t nameTo = from + equals;
  TrimSpan(bytes, nameFrom, nameTo);
  if (nameFrom == nameTo) {
    line.kind = LineKind::Other;
    return line;
  }
  std::size_t valueFrom = from + equals + 1;
  std::size_t valueTo = to;
  TrimSpan(bytes, valueFrom, valueTo);
  line.kind = LineKind::Key;
  line.name = bytes.substr(nameFrom, nameTo - nameFrom);
  line.valueBegin = valueFrom;
  line.valueEnd = valueTo;
  return line;
}

}  // namespace

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::vector<Line> ScanLines(std::string_view bytes) {
  std::vector<Line> lines;
  std::size_t begin = 0;
  while (begin < bytes.size()) {
    const std::size_t lf = bytes.find('\n', begin);
    const std::size_t end = lf == std::string_view::npos ? bytes.size() : lf;
    Line line = Classify(bytes, begin, end);
    line.hasBreak = lf != std::string_view::npos;
    lines.push_back(line);
    begin = line.hasBreak ? end + 1 : end;
  }
  return lines;
}

}  // namespace vorel::ini
