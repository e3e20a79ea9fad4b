#include "app/journal_levels.h"

#include <cstdio>

namespace vorel {
namespace {

}  // namespace

std::string JournalLine(Severity severity, const std::string& line, bool journal) {
  if (!journal) return line;
  return "<" + std::to_string(static_cast<int>(severity)) + ">" + line;
}

bool NamesStream(const char* journalStream,
                 std::optional<std::pair<unsigned long long, unsigned long long>> stream) {
  if (journalStream == nullptr || !stream) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  char rest = 0;
  if (std::sscanf(journalStream, "%llu:%llu%c", &device, &inode, &rest) != 2) return false;
  return device == stream->first && inode == stream->second;
}

}  // namespace vorel
