// Levels of the lines the driver writes to standard error. When standard
// error is systemd's journal, each line starts with its syslog priority
// ("<3>" error, "<4>" warning, "<6>" info), which the journal takes as the
// line's level and strips, so that "journalctl -p warning" shows what an
// operator must see: errors, alarms that could not be kept, lost links.
// Anywhere else the lines stay as they are.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace vorel {

enum class Severity { Error = 3, Warning = 4, Info = 6 };

// `line` with the priority prefix of `severity` when `journal` is true.
std::string JournalLine(Severity severity, const std::string& line, bool journal);

// The level of a line of the operator's log: a link lost, a port lost, an
// event not kept or a spool file that cannot be read is a warning; the rest
// (connecting, connected, a port open again) is information.
Severity OperatorLogSeverity(const std::string& text);

// Whether JOURNAL_STREAM ("device:inode", set by systemd) names the stream
// of the given device and inode (none: no stream to compare).
bool NamesStream(const char* journalStream, std::optional<std::pair<unsigned long long, unsigned long long>> stream);

// Whether standard error is the journal: decided once, at the first call.
bool StderrIsJournal();

}  // namespace vorel
