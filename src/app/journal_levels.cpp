#include "app/journal_levels.h"

#include <cstdio>
#include <string_view>

namespace vorel {
namespace {

// The starts of the operator's log lines that are warnings.
constexpr std::string_view kWarnings[] = {
    "Ошибки по сети",               // protocol 8: too many errors, reconnecting
    "Сервер дал команду на рассоединение",  // protocol 8: the server hung up
    "Доступ запрещен",              // protocol 8: access denied
    "Ответ сервера опоздал",        // protocol 8 out of step, reconnecting
    "Событие не записано в буфер",  // an event neither sent nor kept
    "Файл буфера не",               // a protocol-7 spool file cannot be read
    "Файл очереди ",                // a protocol-8 spool file cannot be read
    "Порт ",                        // a port lost, or not opened at start
};
// … except these, which tell of a recovery.
constexpr std::string_view kRecovered[] = {" снова открыт."};

bool StartsWith(const std::string& text, std::string_view start) { return text.compare(0, start.size(), start) == 0; }

bool EndsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::string JournalLine(Severity severity, const std::string& line, bool journal) {
  if (!journal) return line;
  return "<" + std::to_string(static_cast<int>(severity)) + ">" + line;
}

Severity OperatorLogSeverity(const std::string& text) {
  for (std::string_view end : kRecovered) {
    if (EndsWith(text, end)) return Severity::Info;
  }
  for (std::string_view start : kWarnings) {
    if (StartsWith(text, start)) return Severity::Warning;
  }
  return Severity::Info;
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
