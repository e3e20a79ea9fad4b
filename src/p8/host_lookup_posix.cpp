#include "p8/host_lookup_posix.h"

#include <netdb.h>
#include <sys/socket.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

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

// What the helper thread and the waiting caller share; whichever of the two
// lets go last frees it.
struct PendingLookup {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::vector<in_addr> addresses;
};

}  // namespace

std::vector<in_addr> SystemHostNameLookup(const std::string& name) { return GetAddrInfo(name, 0); }

std::vector<in_addr> LookUpHost(const std::string& host, std::chrono::steady_clock::time_point deadline,
                                const HostNameLookup& lookup) {
  // The numeric forms getaddrinfo knows, without asking any name service.
  if (std::vector<in_addr> numeric = GetAddrInfo(host, AI_NUMERICHOST); !numeric.empty()) return numeric;

  auto pending = std::make_shared<PendingLookup>();
  try {
    std::thread([pending, host, lookup] {
      std::vector<in_addr> addresses;
      try {
        addresses = lookup(host);
      } catch (...) {
        // an unknown host, as far as the caller is concerned
      }
      std::lock_guard<std::mutex> lock(pending->mutex);
      pending->addresses = std::move(addresses);
      pending->done = true;
      pending->ended.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return {};  // no thread to be had: this attempt fails, the next one tries again
  }
  std::unique_lock<std::mutex> lock(pending->mutex);
  if (!pending->ended.wait_until(lock, deadline, [&] { return pending->done; })) return {};
  return std::move(pending->addresses);
}

}  // namespace vorel
