// Standard error's device and inode against JOURNAL_STREAM: systemd sets the
// variable for a service whose output goes to the journal, and a child that
// redirects its standard error keeps the variable but not the stream.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "app/journal_levels.h"

namespace vorel {

bool StderrIsJournal() {
  static const bool journal = [] {
    struct stat st{};
    std::optional<std::pair<unsigned long long, unsigned long long>> stream;
    if (fstat(STDERR_FILENO, &st) == 0) stream.emplace(st.st_dev, st.st_ino);
    return NamesStream(std::getenv("JOURNAL_STREAM"), stream);
  }();
  return journal;
}

}  // namespace vorel
