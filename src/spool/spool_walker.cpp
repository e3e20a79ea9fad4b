#include "spool/spool_walker.h"

#include <optional>
#include <system_error>
#include <utility>

#include "spool/spool_file.h"

namespace vorel {

SpoolWalker::SpoolWalker(std::string_view extension, std::size_t readLimit, Texts texts,
                         std::function<void(Severity, const std::string&)> logLine)
    : extension_(extension), readLimit_(readLimit), texts_(std::move(texts)), logLine_(std::move(logLine)) {}

void SpoolWalker::Log(const std::string& line) const {
  if (logLine_) logLine_(Severity::Warning, line);
}

void SpoolWalker::Walk(SpoolListing& listing, std::set<std::string> onTheirWay, const Hand& hand) {
  // The first file in name order each time round: a file set aside is gone
  // from the index, one handed over or passed over is in `passOver`.
  std::set<std::string>& passOver = onTheirWay;
  passOver.insert(passedOver_.begin(), passedOver_.end());
  while (const std::optional<std::string> file = listing.First(extension_, passOver)) {
    const SpoolFileRead read = ReadSpoolFile(*file, readLimit_);
    if (read.result == SpoolReadResult::Gone) {
      // Delivered and removed since the directory was read.
      SpoolIndexEvents(listing).Gone(*file);
      continue;
    }
    if (read.result == SpoolReadResult::Failed) {
      passOver.insert(*file);
      if (unreadable_.insert(*file).second)
        Log(texts_.unreadable(*file, std::generic_category().message(read.error)));
      continue;
    }
    unreadable_.erase(*file);
    const Handed handed = read.result == SpoolReadResult::Read ? hand(*file, read.bytes) : Handed::NotARecord;
    if (handed == Handed::NotARecord) {
      const std::string aside = SetSpoolFileAside(*file);
      if (aside.empty()) {
        passedOver_.insert(*file);
        passOver.insert(*file);
      } else {
        SpoolIndexEvents(listing).Gone(*file);
      }
      Log(texts_.setAside(*file, aside));
      continue;  // the next file, in this same walk
    }
    if (handed == Handed::Enough) return;
    passOver.insert(*file);
  }
}

}  // namespace vorel
