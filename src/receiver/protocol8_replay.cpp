#include "receiver/protocol8_replay.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>
#include <utility>

#include "base/bytes.h"
#include "base/spool_directory.h"
#include "p8/link.h"
#include "p8/record_types.h"

namespace vorel {
namespace {

constexpr std::string_view kProtocol8Extension = ".dd8";

struct SpoolFile {
  std::int32_t recordType;
  Bytes payload;
};

std::optional<SpoolFile> ReadSpoolFile(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(std::filesystem::path(path), ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Bytes content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad() || content.size() < 4) return std::nullopt;
  return SpoolFile{GetLE<std::int32_t>(content, 0), Bytes(content.begin() + 4, content.end())};
}

}  // namespace

Protocol8Replay::Protocol8Replay(cl& link, std::function<void(const std::string&)> logLine)
    : link_(link), logLine_(std::move(logLine)) {}

void Protocol8Replay::Step(const std::string& pathForSoob, TDateTime now) {
  SpoolListing listing(pathForSoob);
  Step(listing, now);
}

void Protocol8Replay::Step(SpoolListing& listing, TDateTime now) {
  cl& link = link_;
  const auto addLogLine = [this](const std::string& line) {
    if (logLine_) logLine_(line);
  };
  if (!link.LinkUp()) return;
  // The pacing first: between two replays the directory is not read at all.
  if (!link.Spool().ReplayDue(now)) return;
  // The first file in name order each time round: a broken file is renamed
  // aside (no longer matched) or passed over, so the next search finds the
  // file behind it. Full paths, as the acknowledgement will find them again.
  // The files of live events still queued are not queued a second time.
  std::set<std::string> passOver = link.HeldSpoolFiles();
  passOver.insert(passedOver_.begin(), passedOver_.end());
  while (const std::optional<std::string> path = listing.First(kProtocol8Extension, passOver)) {
    std::optional<SpoolFile> file = ReadSpoolFile(*path);
    std::error_code ec;
    if (!file && !std::filesystem::exists(std::filesystem::symlink_status(*path, ec))) {
      // Delivered and removed by the link thread since the directory was read.
      listing.Forget(*path);
      continue;
    }
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
    // The slot and the time first: the acknowledgement may come back before
    // this function returns.
    link.Spool().Replayed(file->recordType == rtEventSecond ? SpoolSlot::Second : SpoolSlot::Main, *path, now);
    link.EnqueueReplayed(file->recordType, file->payload, *path);
    return;
  }
}

}  // namespace vorel
