#include "receiver/protocol7_replay.h"

#include <algorithm>
#include <optional>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "spool/spool_directory.h"
#include "spool/spool_file.h"

namespace vorel {
namespace {

// The file's frame: its first 555 bytes; nullopt when it is shorter.
std::optional<p7::Frame> FrameOf(const std::vector<std::uint8_t>& content) {
  if (content.size() != p7::kFrameSize) return std::nullopt;
  p7::Frame frame{};
  std::copy(content.begin(), content.end(), frame.begin());
  return frame;
}

}  // namespace

Protocol7Replay::Protocol7Replay(std::string spoolPrefix, Protocol7Outbox& outbox, Callbacks callbacks,
                                 int filesPerTick)
    : spoolPrefix_(std::move(spoolPrefix)),
      outbox_(outbox),
      callbacks_(std::move(callbacks)),
      filesPerTick_(std::max(filesPerTick, 1)) {}

void Protocol7Replay::Step() {
  if (!outbox_.Connected()) return;
  SpoolListing listing(spoolPrefix_);
  Step(listing);
}

void Protocol7Replay::Step(SpoolListing& listing) {
  if (!outbox_.Connected()) return;
  // The first file in name order each time round: a broken file renamed aside
  // is no longer matched, and one that could not even be renamed is passed
  // over from then on (named in the log once).
  std::set<std::string> passOver = passedOver_;
  passOver.insert(outbox_.FilesInFlight().begin(), outbox_.FilesInFlight().end());
  const auto pace = static_cast<std::size_t>(filesPerTick_);
  std::size_t sent = 0;
  // At the steady pace one file per tick, whatever is on its way; faster, no
  // more unacknowledged than the pace, so that the kernel's buffer stays
  // short. Files in doubt that the server's TCP has are no part of that.
  const auto mayGoOn = [&] { return sent < pace && (pace == 1 || outbox_.FilesUnacknowledged() < pace); };
  if (!mayGoOn()) return;
  const auto log = [this](const std::string& line) {
    // Every line here names a file that holds an alarm and cannot go.
    if (callbacks_.logLine) callbacks_.logLine(Severity::Warning, line);
  };
  while (const std::optional<std::string> file = listing.First(kProtocol7SpoolExtension, passOver)) {
    const SpoolFileRead read = ReadSpoolFile(*file, p7::kFrameSize);
    if (read.result == SpoolReadResult::Gone) {
      listing.Forget(*file);
      continue;
    }
    if (read.result == SpoolReadResult::Failed) {
      // It holds an acknowledged alarm: tried again at the next tick.
      passOver.insert(*file);
      if (unreadable_.insert(*file).second)
        log("Файл буфера не прочитан (" + std::generic_category().message(read.error) + "), повтор позже: " +
            *file);
      continue;
    }
    unreadable_.erase(*file);
    const std::optional<p7::Frame> frame =
        read.result == SpoolReadResult::Read ? FrameOf(read.bytes) : std::nullopt;
    if (!frame) {
      const std::string aside = SetSpoolFileAside(*file);
      if (aside.empty()) {
        passedOver_.insert(*file);
        passOver.insert(*file);
      } else {
        listing.Forget(*file);
      }
      log("Файл буфера не читается, отложен: " + (aside.empty() ? *file : aside));
      continue;  // the next file, in this same tick
    }
    // The file stays for the next connection when the frame did not go.
    if (!outbox_.Send(*file, *frame)) return;
    if (!outbox_.InFlight(*file)) listing.Forget(*file);  // at the server already, and removed
    passOver.insert(*file);
    ++sent;
    try {
      if (callbacks_.refreshIndicator) callbacks_.refreshIndicator();
    } catch (...) {
      // a failure to draw does not undo the delivery
    }
    if (!mayGoOn()) return;
  }
}

}  // namespace vorel
