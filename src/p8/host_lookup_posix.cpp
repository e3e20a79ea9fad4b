#include "p8/host_lookup_posix.h"

#include <netdb.h>
#include <sys/socket.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "base/host_lookup_cache.h"

namespace vorel {
namespace {

std::vector<in_addr> GetAddrInfo(const std::string& host, int flags) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  std::vector<in_addr> addresses;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (const addrinfo* a = found; a; a = a->ai_next)
    addresses.push_back(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
  freeaddrinfo(found);
  return addresses;
}

std::vector<in_addr> ToInAddr(const std::vector<std::uint32_t>& addresses) {
  std::vector<in_addr> result;
  for (std::uint32_t a : addresses) result.push_back(in_addr{a});
  return result;
}

}  // namespace

// What the callers and the helper threads share; the last of them to let go
// frees it.
struct HostLookups::Shared {
  Shared(HostNameLookup l, IClock& clock) : lookup(std::move(l)), cache(clock) {}
  const HostNameLookup lookup;
  std::mutex mutex;
  std::condition_variable answered;
  HostLookupCache cache;  // under mutex
};

std::vector<in_addr> SystemHostNameLookup(const std::string& name) { return GetAddrInfo(name, 0); }

HostLookups::HostLookups(HostNameLookup lookup, IClock& clock)
    : shared_(std::make_shared<Shared>(std::move(lookup), clock)) {}

HostLookups::~HostLookups() = default;

std::vector<in_addr> HostLookups::Addresses(const std::string& host, std::chrono::steady_clock::time_point deadline) {
  // The numeric forms getaddrinfo knows, without asking any name service.
  if (std::vector<in_addr> numeric = GetAddrInfo(host, AI_NUMERICHOST); !numeric.empty()) return numeric;

  std::unique_lock<std::mutex> lock(shared_->mutex);
  const HostLookupCache::Plan plan = shared_->cache.ForAttempt(host);
  if (plan.startLookUp) {
    try {
      std::thread([shared = shared_, host] {
        std::vector<in_addr> found;
        try {
          found = shared->lookup(host);
        } catch (...) {
          // an unknown host, as far as the callers are concerned
        }
        std::vector<std::uint32_t> addresses;
        for (const in_addr& a : found) addresses.push_back(a.s_addr);
        std::lock_guard<std::mutex> guard(shared->mutex);
        shared->cache.Answered(host, std::move(addresses));
        shared->answered.notify_all();
      }).detach();
    } catch (const std::system_error&) {
      shared_->cache.NotStarted(host);  // no thread to be had: the next attempt tries again
    }
  }
  if (!plan.addresses.empty()) return ToInAddr(plan.addresses);
  shared_->answered.wait_until(lock, deadline, [&] { return !shared_->cache.LookUpOut(host); });
  return ToInAddr(shared_->cache.Known(host));
}

}  // namespace vorel
