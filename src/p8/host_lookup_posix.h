// The IPv4 addresses of the protocol-8 server, for a connect that must end by
// its deadline. A numeric address is taken as it is. A host name goes to the
// system resolver, which has no time-out of its own (a DNS server that does
// not answer holds it for half a minute), so it runs on a helper thread and
// the caller waits for it only until the deadline. Its answer is kept
// whenever it comes (base/host_lookup_cache.h): a name service slower than
// the connect time-out still lets a later attempt connect, one look-up is out
// per name at a time, and the last good answer serves at once.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"

namespace vorel {

// A blocking lookup of a host name: its IPv4 addresses, none when unknown.
using HostNameLookup = std::function<std::vector<in_addr>(const std::string& name)>;

// getaddrinfo.
std::vector<in_addr> SystemHostNameLookup(const std::string& name);

// Safe to use from any thread; look-ups still out when it goes end on their
// own and drop their answers.
class HostLookups {
 public:
  explicit HostLookups(HostNameLookup lookup = SystemHostNameLookup, IClock& clock = SystemClock());
  ~HostLookups();
  HostLookups(const HostLookups&) = delete;
  HostLookups& operator=(const HostLookups&) = delete;

  // The addresses of `host`: a numeric address at once, a name's last good
  // answer at once, else the answer of the look-up that is out if it comes
  // by `deadline`. Empty when the host is unknown or not answered in time.
  std::vector<in_addr> Addresses(const std::string& host, std::chrono::steady_clock::time_point deadline);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace vorel
