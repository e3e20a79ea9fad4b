#include "p8/spool_slots.h"

#include <filesystem>
#include <system_error>

namespace vorel {
namespace {
// "00:00:03" as a date-time.
constexpr TDateTime kReplayPacing = 3.0 / 86400.0;
}  // namespace

void SpoolSlots::Replayed(SpoolSlot slot, const std::string& path, TDateTime now) {
  std::lock_guard lock(mutex_);
  (slot == SpoolSlot::Second ? pendingSpoolFileSecond_ : pendingSpoolFileMain_) = path;
  lastReplayTime_ = now;
}

bool SpoolSlots::ReplayDue(TDateTime now) const {
  std::lock_guard lock(mutex_);
  return now > lastReplayTime_ + kReplayPacing;
}

void SpoolSlots::Acknowledged(const std::string& file, TDateTime now) {
  std::lock_guard lock(mutex_);
  std::error_code ec;
  if (file.empty() || !std::filesystem::exists(std::filesystem::path(file), ec)) return;
  std::filesystem::remove(std::filesystem::path(file), ec);
  lastReplayTime_ = now - kOneDay;
}

void SpoolSlots::AllowReplayNow(TDateTime now) {
  std::lock_guard lock(mutex_);
  lastReplayTime_ = now - kOneDay;
}

std::string SpoolSlots::PendingSpoolFileMain() const {
  std::lock_guard lock(mutex_);
  return pendingSpoolFileMain_;
}

std::string SpoolSlots::PendingSpoolFileSecond() const {
  std::lock_guard lock(mutex_);
  return pendingSpoolFileSecond_;
}

TDateTime SpoolSlots::LastReplayTime() const {
  std::lock_guard lock(mutex_);
  return lastReplayTime_;
}

}  // namespace vorel
