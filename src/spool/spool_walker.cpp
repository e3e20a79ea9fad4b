#include "spool/spool_walker.h"

#include <cerrno>
#include <system_error>
#include <utility>

namespace vorel {

SpoolWalker::SpoolWalker(std::string_view extension, std::size_t readLimit, Texts texts,
                         std::function<void(Severity, const std::string&)> logLine, ISpoolWriter* spool)
    : extension_(extension),
      readLimit_(readLimit),
      texts_(std::move(texts)),
      logLine_(std::move(logLine)),
      spool_(spool) {}

SpoolWalker::~SpoolWalker() { *alive_ = false; }

void SpoolWalker::Log(const std::string& line) const {
  if (logLine_) logLine_(Severity::Warning, line);
}

void SpoolWalker::OnSpool(std::function<void()> work, std::function<void()> done) {
  if (spool_) {
    spool_->ReadFiles(std::move(work), std::move(done));
    return;
  }
  work();
  done();
}

void SpoolWalker::Walk(SpoolListing& listing, OnTheirWay onTheirWay, std::size_t want, Hand hand) {
  if (walk_ || want == 0) return;
  std::set<std::string> passOver = onTheirWay ? onTheirWay() : std::set<std::string>();
  walk_.emplace(WalkState{&listing, std::move(onTheirWay), std::move(hand), want, std::move(passOver)});
  ReadRounds();
}

std::shared_ptr<SpoolWalker::Batch> SpoolWalker::Pick() {
  WalkState& walk = *walk_;
  walk.passOver.insert(passedOver_.begin(), passedOver_.end());
  walk.passOver.insert(settingAside_.begin(), settingAside_.end());
  auto batch = std::make_shared<Batch>();
  while (batch->files.size() < walk.left) {
    std::optional<std::string> file = walk.listing->First(extension_, walk.passOver);
    if (!file) break;
    walk.passOver.insert(*file);
    batch->files.push_back(std::move(*file));
  }
  if (batch->files.empty()) return nullptr;
  // What a read that never came back leaves: tried again at the next walk.
  batch->reads.assign(batch->files.size(), SpoolFileRead{SpoolReadResult::Failed, {}, EIO});
  batch->outstanding = batch->files.size();
  return batch;
}

void SpoolWalker::ReadRounds() {
  try {
    while (walk_) {
      const std::shared_ptr<Batch> batch = Pick();
      if (!batch) {
        walk_.reset();
        return;
      }
      submitting_ = true;
      roundDone_ = false;
      for (std::size_t i = 0; i < batch->files.size(); ++i) {
        OnSpool([batch, i, limit = readLimit_] { batch->reads[i] = ReadSpoolFile(batch->files[i], limit); },
                [this, alive = alive_, batch] {
                  if (!*alive || --batch->outstanding > 0) return;
                  if (submitting_) {
                    roundDone_ = true;
                    return;
                  }
                  // The round came back in a later turn of the loop.
                  try {
                    if (HandOver(*batch))
                      ReadRounds();
                    else
                      walk_.reset();
                  } catch (...) {
                    walk_.reset();
                    throw;
                  }
                });
      }
      submitting_ = false;
      if (!roundDone_) return;  // on the spool's thread: its last `done` goes on
      if (!HandOver(*batch)) walk_.reset();
    }
  } catch (...) {
    // A replay that raised ends its walk; the next tick walks again.
    submitting_ = false;
    walk_.reset();
    throw;
  }
}

bool SpoolWalker::HandOver(Batch& batch) {
  WalkState& walk = *walk_;
  // Asked again: a file read meanwhile may have gone live, or been
  // delivered and removed, since it was picked.
  const std::set<std::string> onTheirWay = walk.onTheirWay ? walk.onTheirWay() : std::set<std::string>();
  for (std::size_t i = 0; i < batch.files.size(); ++i) {
    const std::string& file = batch.files[i];
    const SpoolFileRead& read = batch.reads[i];
    if (read.result == SpoolReadResult::Gone) {
      // Delivered and removed since the directory was read.
      SpoolIndexEvents(*walk.listing).Gone(file);
      continue;
    }
    if (read.result == SpoolReadResult::Failed) {
      if (unreadable_.insert(file).second)
        Log(texts_.unreadable(file, std::generic_category().message(read.error)));
      continue;
    }
    unreadable_.erase(file);
    if (onTheirWay.contains(file) || !walk.listing->Contains(file)) continue;
    const Handed handed = read.result == SpoolReadResult::Read ? walk.hand(file, read.bytes) : Handed::NotARecord;
    if (handed == Handed::NotARecord) {
      SetAside(file);
      continue;  // the next file, in this same walk
    }
    if (handed == Handed::Enough || --walk.left == 0) return false;
  }
  return true;
}

void SpoolWalker::SetAside(const std::string& file) {
  settingAside_.insert(file);
  auto aside = std::make_shared<std::string>();
  OnSpool([file, aside] { *aside = SetSpoolFileAside(file); },
          [this, alive = alive_, file, aside, listing = walk_->listing] {
            if (!*alive) return;
            settingAside_.erase(file);
            if (aside->empty())
              passedOver_.insert(file);
            else
              SpoolIndexEvents(*listing).Gone(file);
            Log(texts_.setAside(file, *aside));
          });
}

}  // namespace vorel
