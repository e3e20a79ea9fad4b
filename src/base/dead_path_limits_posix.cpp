#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "base/dead_path_limits.h"

namespace vorel {

int ApplyDeadPathLimits(int fd, const DeadPathLimits& limits) {
  int firstError = 0;
  const auto set = [&](int level, int option, int value) {
    if (::setsockopt(fd, level, option, &value, sizeof value) != 0 && firstError == 0) firstError = errno;
  };
  set(SOL_SOCKET, SO_KEEPALIVE, 1);
  set(IPPROTO_TCP, TCP_KEEPIDLE, limits.idleSeconds);
  set(IPPROTO_TCP, TCP_KEEPINTVL, limits.probeIntervalSeconds);
  set(IPPROTO_TCP, TCP_KEEPCNT, limits.probes);
  set(IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(limits.unacknowledgedMs));
  return firstError;
}

}  // namespace vorel
