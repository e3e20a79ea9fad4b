// The texts of the operator's log (the memo on the status page), and the
// same lines on standard error for whoever runs the driver without a window.
#pragma once

#include <string>

#include "app/journal_levels.h"
#include "base/datetime.h"

namespace vorel {

// The log line for an event that could be neither sent nor kept in a spool
// file. `loss` is the outputs' report, "<what> lost: <reason>"; the line reads
// "Событие не записано в буфер (<what>): <reason>", with the reason's own
// words in Russian where they are the program's.
std::string SpoolLossLine(const std::string& loss);

// What standard error gets for a line of the memo: "vorel: log: ", the time
// as 2026-12-10T12:00:05 (local), a blank and the memo's text, on one line
// with its end.
std::string StderrLogLine(TDateTime now, const std::string& text);

// Writes the text in one piece, so that lines of two threads never mix; with
// its level in front when standard error is the journal. After a write that
// finds nobody reading (EPIPE) or no stream, nothing more goes there.
void WriteToStderr(Severity severity, const std::string& text);

}  // namespace vorel
