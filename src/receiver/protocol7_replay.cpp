#include "receiver/protocol7_replay.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "spool/spool_file.h"

namespace vorel {

Protocol7Replay::Protocol7Replay(Protocol7Outbox& outbox, Callbacks callbacks, int filesPerTick,
                                 ISpoolWriter* spool)
    : outbox_(outbox),
      callbacks_(std::move(callbacks)),
      filesPerTick_(std::max(filesPerTick, 1)),
      walker_(kProtocol7SpoolExtension, p7::kFrameSize,
              {[](const std::string& file, const std::string& error) {
                 return "Файл буфера не прочитан (" + error + "), повтор позже: " + file;
               },
               [](const std::string& file, const std::string& aside) {
                 return "Файл буфера не читается, отложен: " + (aside.empty() ? file : aside);
               }},
              callbacks_.logLine, spool) {}

void Protocol7Replay::Step(SpoolListing& listing) {
  if (!outbox_.Connected()) return;
  const auto pace = static_cast<std::size_t>(filesPerTick_);
  // At the steady pace one file per tick, whatever is on its way; faster, no
  // more unacknowledged than the pace, so that the kernel's buffer stays
  // short. Files in doubt that the server's TCP has are no part of that.
  const std::size_t unacknowledged = pace == 1 ? 0 : outbox_.FilesUnacknowledged();
  if (unacknowledged >= pace) return;
  walker_.Walk(
      listing, [this] { return outbox_.FilesInFlight(); }, pace - unacknowledged,
      [this, pace, index = &listing](const std::string& file, const std::vector<std::uint8_t>& content) {
        // The file's frame, whole: anything else is no frame this driver wrote.
        if (content.size() != p7::kFrameSize) return SpoolWalker::Handed::NotARecord;
        p7::Frame frame{};
        std::copy(content.begin(), content.end(), frame.begin());
        // The file stays for the next connection when the frame did not go.
        if (!outbox_.Send(file, frame)) return SpoolWalker::Handed::Enough;
        if (!outbox_.InFlight(file)) SpoolIndexEvents(*index).Gone(file);  // at the server already, and removed
        try {
          if (callbacks_.refreshIndicator) callbacks_.refreshIndicator();
        } catch (...) {
          // a failure to draw does not undo the delivery
        }
        // The walker hands no more than the pace allowed at the start; the
        // server's TCP may have taken fewer meanwhile.
        return outbox_.FilesUnacknowledged() < pace ? SpoolWalker::Handed::GoOn : SpoolWalker::Handed::Enough;
      });
}

}  // namespace vorel
