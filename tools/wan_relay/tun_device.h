// A TUN device made inside a named network namespace and configured as one
// end of a point-to-point IPv4 link, with the namespace's loopback up too.
// The device lives as long as its descriptor: closing it (or the relay's
// end) removes the interface.
#pragma once

#include <string>

namespace vorel::wan {

struct TunEnd {
  std::string netns;    // a name under /run/netns, or a path to a namespace file
  std::string device;   // the interface name, at most 15 characters
  std::string address;  // this end's IPv4 address
  std::string peer;     // the other end's
};

// The device's descriptor (non-blocking, one IP packet per read or write),
// or -1 with the reason in `error`. The calling thread returns to its own
// namespace before this returns.
int OpenTunEnd(const TunEnd& end, std::string& error);

}  // namespace vorel::wan
