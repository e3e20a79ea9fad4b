#include "receiver/protocol8_replay.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <utility>

#include "base/bytes.h"
#include "spool/spool_directory.h"
#include "p8/link.h"
#include "p8/record_types.h"
#include "receiver/event_record.h"
#include "spool/spool_file.h"

namespace vorel {
namespace {

struct SpoolEvent {
  std::int32_t recordType;
  Bytes payload;
};

// Enough to tell a file longer than the longest event record.
constexpr std::size_t kReadLimit = 4 + kMainEventPayloadSize + 1;

// The event a .dd8 file holds: its record type, then the payload of that
// event's size. Anything else is no record this driver wrote, and sending it
// would give the server garbage.
std::optional<SpoolEvent> ParseSpoolEvent(const Bytes& content) {
  if (content.size() < 4) return std::nullopt;
  const std::int32_t type = GetLE<std::int32_t>(content, 0);
  const std::size_t size = type == rtEventMain     ? kMainEventPayloadSize
                           : type == rtEventSecond ? kSecondEventPayloadSize
                                                   : 0;
  if (size == 0 || content.size() != 4 + size) return std::nullopt;
  return SpoolEvent{type, Bytes(content.begin() + 4, content.end())};
}

}  // namespace

Protocol8Replay::Protocol8Replay(cl& link, std::function<void(Severity, const std::string&)> logLine,
                                 int filesPerTick)
    : link_(link), logLine_(std::move(logLine)), filesPerTick_(std::max(filesPerTick, 1)) {}

void Protocol8Replay::Step(const std::string& pathForSoob, TDateTime now) {
  SpoolListing listing(pathForSoob);
  Step(listing, now);
}

void Protocol8Replay::Step(SpoolListing& listing, TDateTime now) {
  cl& link = link_;
  // Every line here names a file that holds an alarm and cannot go.
  const auto addLogLine = [this](const std::string& line) {
    if (logLine_) logLine_(Severity::Warning, line);
  };
  if (!link.LinkUp()) return;
  // The pacing first: between two replays no file is looked at.
  std::size_t budget = 1;
  if (filesPerTick_ == 1) {
    if (!link.Outbox().ReplayDue(now)) return;
  } else {
    const std::size_t onTheirWay = link.Outbox().ReplayedOnTheirWay();
    const auto pace = static_cast<std::size_t>(filesPerTick_);
    if (onTheirWay >= pace) return;
    budget = pace - onTheirWay;
  }
  // The first file in name order each time round: a broken file is renamed
  // aside (no longer matched) or passed over, so the next search finds the
  // file behind it. Full paths, as the acknowledgement will find them again.
  // The files on their way already (live events, or a replayed file still
  // in its exchange) are not queued a second time.
  std::set<std::string> passOver = link.Outbox().FilesOnTheirWay();
  passOver.insert(passedOver_.begin(), passedOver_.end());
  while (const std::optional<std::string> path = listing.First(kProtocol8SpoolExtension, passOver)) {
    const SpoolFileRead read = ReadSpoolFile(*path, kReadLimit);
    if (read.result == SpoolReadResult::Gone) {
      // Delivered and removed by the link thread since the directory was read.
      listing.Forget(*path);
      continue;
    }
    if (read.result == SpoolReadResult::Failed) {
      // It holds an acknowledged alarm: tried again at the next replay.
      passOver.insert(*path);
      if (unreadable_.insert(*path).second)
        addLogLine("Файл очереди " + *path + " не прочитан (" + std::generic_category().message(read.error) +
                   "), повтор позже.");
      continue;
    }
    unreadable_.erase(*path);
    std::optional<SpoolEvent> file;
    if (read.result == SpoolReadResult::Read) file = ParseSpoolEvent(read.bytes);
    if (!file) {
      const std::string aside = SetSpoolFileAside(*path);
      if (aside.empty()) {
        passedOver_.insert(*path);
        passOver.insert(*path);
        addLogLine("Файл очереди " + *path + " не читается и не переименован.");
      } else {
        listing.Forget(*path);
        addLogLine("Файл очереди " + *path + " не читается - переименован в " + aside + ".");
      }
      continue;
    }
    link.EnqueueReplayed(file->recordType, file->payload, *path, now);
    passOver.insert(*path);
    if (--budget == 0) return;
  }
}

}  // namespace vorel
