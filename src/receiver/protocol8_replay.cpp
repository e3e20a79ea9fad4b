#include "receiver/protocol8_replay.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "p8/link.h"
#include "p8/record_types.h"
#include "receiver/event_record.h"
#include "spool/spool_file.h"

namespace vorel {
namespace {

// Enough to tell a file longer than the longest event record.
constexpr std::size_t kReadLimit = 4 + kMainEventPayloadSize + 1;

// The payload size of an event record of the type; 0 for any other type.
std::size_t EventPayloadSize(std::int32_t type) {
  return type == rtEventMain ? kMainEventPayloadSize : type == rtEventSecond ? kSecondEventPayloadSize : 0;
}

}  // namespace

Protocol8Replay::Protocol8Replay(cl& link, std::function<void(Severity, const std::string&)> logLine,
                                 int filesPerTick, ISpoolWriter* spool)
    : link_(link),
      filesPerTick_(std::max(filesPerTick, 1)),
      walker_(kProtocol8SpoolExtension, kReadLimit,
              {[](const std::string& file, const std::string& error) {
                 return "Файл очереди " + file + " не прочитан (" + error + "), повтор позже.";
               },
               [](const std::string& file, const std::string& aside) {
                 return aside.empty() ? "Файл очереди " + file + " не читается и не переименован."
                                      : "Файл очереди " + file + " не читается - переименован в " + aside + ".";
               }},
              std::move(logLine), spool) {}

void Protocol8Replay::Step(SpoolListing& listing, TDateTime now) {
  // The time a file read meanwhile is queued at: its replay's pace counts
  // from then, not from the tick that picked it.
  now_ = now;
  if (!link_.LinkUp()) return;
  // The pacing first: between two replays no file is looked at.
  std::size_t budget = 1;
  if (filesPerTick_ == 1) {
    if (!link_.Outbox().ReplayDue(now)) return;
  } else {
    const std::size_t onTheirWay = link_.Outbox().ReplayedOnTheirWay();
    const auto pace = static_cast<std::size_t>(filesPerTick_);
    if (onTheirWay >= pace) return;
    budget = pace - onTheirWay;
  }
  // Full paths, as the acknowledgement will find them again. The files on
  // their way already (live events, or a replayed file still in its
  // exchange) are not queued a second time.
  walker_.Walk(
      listing, [this] { return link_.Outbox().FilesOnTheirWay(); }, budget,
      [this](const std::string& file, const std::vector<std::uint8_t>& content) {
        // The event a .dd8 file holds: its record type, then the payload of
        // that event's size. Anything else is no record this driver wrote,
        // and sending it would give the server garbage.
        if (content.size() < 4) return SpoolWalker::Handed::NotARecord;
        const auto type = GetLE<std::int32_t>(content, 0);
        const std::size_t size = EventPayloadSize(type);
        if (size == 0 || content.size() != 4 + size) return SpoolWalker::Handed::NotARecord;
        // The link went down while the file was read: it stays for the next.
        if (!link_.LinkUp()) return SpoolWalker::Handed::Enough;
        link_.EnqueueReplayed(type, Bytes(content.begin() + 4, content.end()), file, now_);
        return SpoolWalker::Handed::GoOn;  // the walker stops at the budget
      });
}

}  // namespace vorel
