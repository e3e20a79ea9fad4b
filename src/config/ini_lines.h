// The line grammar of "vorel.ini", shared by the reader and the writer so that
// both agree on which line is which: the writer must change exactly the line
// the reader would have taken the value from.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace vorel::ini {

enum class LineKind {
  Blank,    // nothing but blanks, tabs and CR
  Comment,  // first non-blank character ';' or '#'
  Section,  // "[name]", anything after the ']' ignored
  Key,      // "name=value" with a non-empty name
  Other,    // anything else: ignored
};

// One line of the file as offsets into the file's bytes.
struct Line {
  LineKind kind = LineKind::Blank;
  std::size_t begin = 0;       // first byte of the line
  std::size_t end = 0;         // the LF (or the file's end) that ends the line
  bool hasBreak = false;       // false only for a last line without LF
  std::string_view name;       // section or key name, trimmed
  std::size_t valueBegin = 0;  // trimmed value span of a key line;
  std::size_t valueEnd = 0;    // valueBegin == valueEnd for an empty value
};

// Splits at LF; a CR before the LF belongs to the line's trailing white space.
// A UTF-8 byte order mark at the start of the file is not part of the first line.
std::vector<Line> ScanLines(std::string_view bytes);

// Blanks, tabs and CR around a value or a name are not part of it.
bool IsBlank(char c);

// ASCII letters match whatever their case; other bytes must be equal.
bool NamesEqual(std::string_view a, std::string_view b);

}  // namespace vorel::ini
