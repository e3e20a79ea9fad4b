// The IPv4 addresses of the protocol-8 server, for a connect that must end by
// its deadline. A numeric address is taken as it is. A host name goes to the
// system resolver, which has no time-out of its own (a DNS server that does
// not answer holds it for half a minute), so it runs on a helper thread and
// the caller waits for it only until the deadline. A lookup that ends later
// finds nobody waiting and drops its result.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vorel {

// A blocking lookup of a host name: its IPv4 addresses, none when unknown.
using HostNameLookup = std::function<std::vector<in_addr>(const std::string& name)>;

// getaddrinfo.
std::vector<in_addr> SystemHostNameLookup(const std::string& name);

// The addresses of `host`: a numeric address at once, a name through
// `lookup`. Empty when the host is unknown or its lookup has not ended by
// `deadline`. `lookup` is copied: it may run on after this returns.
std::vector<in_addr> LookUpHost(const std::string& host, std::chrono::steady_clock::time_point deadline,
                                const HostNameLookup& lookup = SystemHostNameLookup);

}  // namespace vorel
