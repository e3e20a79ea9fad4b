#include "receiver/protocol7_replay.h"

#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <utility>

#include "base/spool_directory.h"
#include "receiver/spool_file.h"

namespace vorel {
namespace {

// The file's frame, or nullopt when it cannot be read or is too short.
std::optional<p7::Frame> ReadFrame(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  p7::Frame frame{};
  in.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
  if (in.gcount() != static_cast<std::streamsize>(frame.size())) return std::nullopt;
  return frame;
}

}  // namespace

Protocol7Replay::Protocol7Replay(std::string spoolPrefix, IProtocol7Sender& sender, Callbacks callbacks)
    : spoolPrefix_(std::move(spoolPrefix)), sender_(sender), callbacks_(std::move(callbacks)) {}

void Protocol7Replay::Step() {
  if (!sender_.Connected()) return;
  SpoolListing listing(spoolPrefix_);
  Step(listing);
}

void Protocol7Replay::Step(SpoolListing& listing) {
  if (!sender_.Connected()) return;
  // The first file in name order each time round: a broken file renamed aside
  // is no longer matched, and one that could not even be renamed is passed
  // over for the rest of this tick (the next tick tries it again).
  std::set<std::string> passOver;
  while (const std::optional<std::string> file = listing.First(kProtocol7SpoolExtension, passOver)) {
    const std::optional<p7::Frame> frame = ReadFrame(*file);
    if (!frame) {
      const std::string aside = SetSpoolFileAside(*file);
      if (aside.empty())
        passOver.insert(*file);
      else
        listing.Forget(*file);
      if (callbacks_.logLine)
        callbacks_.logLine("Файл буфера не читается, отложен: " + (aside.empty() ? *file : aside));
      continue;  // the next file, in this same tick
    }
    const std::int32_t sent = sender_.Send(*frame);
    if (sent != static_cast<std::int32_t>(p7::kFrameSize)) {
      // The file stays for the next connection; a connection that took part
      // of the frame is out of step and ends.
      if (SentInPart(sent)) sender_.Disconnect();
      return;
    }
    std::remove(file->c_str());
    listing.Forget(*file);
    try {
      if (callbacks_.refreshIndicator) callbacks_.refreshIndicator();
    } catch (...) {
      // a failure to draw does not undo the delivery
    }
    return;
  }
}

}  // namespace vorel
