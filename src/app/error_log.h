// The error log "error.txt": one line per reported error, "ошибка №" and the
// code, Windows-1251, no time stamp. The codes in use: 9 (a station link check
// failed), 11 (a spool file could not be named), 19 (the chosen port could not
// be saved).
#pragma once

#include <filesystem>

namespace vorel {

inline constexpr char kErrorLogFileName[] = "error.txt";

// Appends the line for `code`, creating the file when it cannot be read.
// A failure to create or write raises an error: callers call this from their
// own error handling and let it go on from there.
void LogError(int code, const std::filesystem::path& file = kErrorLogFileName);

}  // namespace vorel
