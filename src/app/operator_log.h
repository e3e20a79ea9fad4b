// The texts of the operator's log (the memo on the status page).
#pragma once

#include <string>

namespace vorel {

// The log line for an event that could be neither sent nor kept in a spool
// file. `loss` is the outputs' report, "<what> lost: <reason>"; the line reads
// "Событие не записано в буфер (<what>): <reason>", with the reason's own
// words in Russian where they are the program's.
std::string SpoolLossLine(const std::string& loss);

}  // namespace vorel
