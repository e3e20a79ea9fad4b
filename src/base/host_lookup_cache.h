// What a link knows of its server's host name. A name service can be slow
// (glibc waits 5 s for a dead first name server before it asks the next one)
// while a connection attempt has to end within a few seconds, so a look-up is
// not tied to the attempt that started it:
// - one look-up per name is out at a time; its answer is kept whenever it
//   comes, and the attempts meanwhile fail quietly;
// - the last good answer serves every later attempt at once and is refreshed
//   in the background once it has aged;
// - a name that does not resolve leaves the last good answer as it was.
// Not thread-safe: the owner runs look-ups where it likes and reports their
// answers here on its own thread (or under its own lock).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/clock.h"

namespace vorel {

class HostLookupCache {
 public:
  // A good answer older than this is asked again when an attempt uses it.
  static constexpr std::uint32_t kRefreshAfterMs = 30000;
  // A look-up out for this long no longer keeps a new one from starting: a
  // resolver that never returns cannot keep the link from its server for good.
  static constexpr std::uint32_t kAbandonAfterMs = 60000;

  explicit HostLookupCache(IClock& clock) : clock_(clock) {}

  // What an attempt to `name` has to go on.
  struct Plan {
    // The last good answer, IPv4 in network byte order; empty: none yet.
    std::vector<std::uint32_t> addresses;
    // The caller is to start a look-up now; it counts as out from here on.
    bool startLookUp = false;
  };
  Plan ForAttempt(const std::string& name);
  // The look-up ForAttempt asked for could not be started.
  void NotStarted(const std::string& name);
  // A look-up of `name` has ended: its addresses, none when the name did not
  // resolve. A late answer counts as much as a quick one.
  void Answered(const std::string& name, std::vector<std::uint32_t> addresses);

  std::vector<std::uint32_t> Known(const std::string& name) const;
  bool LookUpOut(const std::string& name) const;

 private:
  struct Entry {
    std::vector<std::uint32_t> addresses;
    std::uint32_t answeredAt = 0;  // when `addresses` came
    bool out = false;
    std::uint32_t startedAt = 0;
  };
  std::uint32_t Since(std::uint32_t tick) const { return static_cast<std::uint32_t>(clock_.TickCount() - tick); }

  IClock& clock_;
  std::map<std::string, Entry> entries_;
};

}  // namespace vorel
