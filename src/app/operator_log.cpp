#include "app/operator_log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "app/program_status.h"

namespace vorel {
namespace {

// The program's own words at the start of a reason; the system's error text
// after them stays as the system gives it.
struct Translation {
  std::string_view english;
  std::string_view russian;
};
constexpr Translation kReasonWords[] = {
    {"spool file not written", "файл не записан"},
    {"no spool name: the date-time is not a date", "нет имени файла: часы не дают даты"},
    {"spool file ", "файл "},
};

std::string Russian(std::string_view reason) {
  for (const Translation& t : kReasonWords) {
    if (reason.substr(0, t.english.size()) == t.english)
      return std::string(t.russian) + std::string(reason.substr(t.english.size()));
  }
  return std::string(reason);
}

}  // namespace

std::string SpoolLossLine(const std::string& loss) {
  constexpr std::string_view kLost = " lost: ";
  const std::string prefix = "Событие не записано в буфер";
  const std::size_t at = loss.find(kLost);
  if (at == std::string::npos) return prefix + ": " + loss;
  return prefix + " (" + loss.substr(0, at) + "): " + Russian(std::string_view(loss).substr(at + kLost.size()));
}

std::string StderrLogLine(TDateTime now, const std::string& text) {
  std::string line = "vorel: log: " + IsoDateTime(now) + " " + text;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line + "\n";
}

void WriteToStderr(Severity severity, const std::string& text) {
  // Once nobody reads standard error any more (the pipe's reader ended, the
  // stream was closed), its copies stop; the driver goes on.
  static std::atomic<bool> gone{false};
  if (gone.load(std::memory_order_relaxed)) return;
  const std::string line = JournalLine(severity, text, StderrIsJournal());
  errno = 0;
  std::fwrite(line.data(), 1, line.size(), stderr);
  if (std::fflush(stderr) != 0 || std::ferror(stderr)) {
    if (errno == EPIPE || errno == EBADF) gone.store(true, std::memory_order_relaxed);
    std::clearerr(stderr);
  }
}

}  // namespace vorel
