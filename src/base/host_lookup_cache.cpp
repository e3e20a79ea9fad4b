#include "base/host_lookup_cache.h"

#include <utility>

namespace vorel {

HostLookupCache::Plan HostLookupCache::ForAttempt(const std::string& name) {
  Entry& entry = entries_[name];
  if (entry.out && Since(entry.startedAt) >= kAbandonAfterMs) entry.out = false;
  Plan plan;
  plan.addresses = entry.addresses;
  if (!entry.out && (entry.addresses.empty() || Since(entry.answeredAt) >= kRefreshAfterMs)) {
    entry.out = true;
    entry.startedAt = clock_.TickCount();
    plan.startLookUp = true;
  }
  return plan;
}

void HostLookupCache::NotStarted(const std::string& name) { entries_[name].out = false; }

void HostLookupCache::Answered(const std::string& name, std::vector<std::uint32_t> addresses) {
  Entry& entry = entries_[name];
  entry.out = false;
  if (addresses.empty()) return;
  entry.addresses = std::move(addresses);
  entry.answeredAt = clock_.TickCount();
}

std::vector<std::uint32_t> HostLookupCache::Known(const std::string& name) const {
  auto it = entries_.find(name);
  return it == entries_.end() ? std::vector<std::uint32_t>{} : it->second.addresses;
}

bool HostLookupCache::LookUpOut(const std::string& name) const {
  auto it = entries_.find(name);
  return it != entries_.end() && it->second.out;
}

}  // namespace vorel
