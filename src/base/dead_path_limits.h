// How soon a TCP connection whose path has died without a word (packets
// simply vanish, no reset comes) ends on its own. Without these TCP retries
// for about 15 minutes before it gives up, and a link that looks up meanwhile
// holds its frames in a connection that will never deliver them.
// - Keepalive probes a connection that has been idle for `idleSeconds`,
//   every `probeIntervalSeconds`.
// - TCP_USER_TIMEOUT ends the connection once sent bytes (data, or a
//   keepalive probe) have stayed unacknowledged for `unacknowledgedMs`. It
//   also cuts TCP's retransmission back-off short: a path that comes back
//   finds a new connection within a few seconds instead of waiting for the
//   next retransmission a minute away.
// So a dead path is noticed within about 15-20 s, busy or idle. A server
// that stops reading for as long (its window shut) counts as gone too.
#pragma once

namespace vorel {

struct DeadPathLimits {
  int idleSeconds = 10;
  int probeIntervalSeconds = 5;
  int probes = 3;
  unsigned unacknowledgedMs = 15000;
};

inline constexpr DeadPathLimits kDeadPathLimits{};

// Sets the limits on a TCP socket: 0, or the errno of the first option the
// system refused (the others are still tried).
int ApplyDeadPathLimits(int fd, const DeadPathLimits& limits = kDeadPathLimits);

}  // namespace vorel
