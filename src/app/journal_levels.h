// Levels of the lines the driver writes to standard error. When standard
// error is systemd's journal, each line starts with its syslog priority,
// which the journal takes as the line's level and strips. Anywhere else the
// lines stay as they are. The level is the writer's word (base/severity.h),
// never guessed from the text.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "base/severity.h"

namespace vorel {

// `line` with the priority prefix of `severity` when `journal` is true.
std::string JournalLine(Severity severity, const std::string& line, bool journal);

// Whether JOURNAL_STREAM ("device:inode", set by systemd) names the stream
// of the given device and inode (none: no stream to compare).
bool NamesStream(const char* journalStream, std::optional<std::pair<unsigned long long, unsigned long long>> stream);

// Whether standard error is the journal: decided once, at the first call.
bool StderrIsJournal();

}  // namespace vorel
