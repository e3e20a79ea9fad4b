#include "base/dead_path_limits.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace vorel {
namespace {

int Option(int fd, int level, int option) {
  int value = -1;
  socklen_t length = sizeof value;
  EXPECT_EQ(::getsockopt(fd, level, option, &value, &length), 0);
  return value;
}

// Without these the kernel's defaults hold: no keepalive at all, and about
// 15 minutes of retransmission before a dead path ends the connection.
TEST(DeadPathLimits, TheSocketCarriesKeepaliveAndTheUnacknowledgedLimit) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_GE(fd, 0);
  const DeadPathLimits limits{.idleSeconds = 7, .probeIntervalSeconds = 2, .probes = 4, .unacknowledgedMs = 12345};
  EXPECT_EQ(ApplyDeadPathLimits(fd, limits), 0);
  EXPECT_EQ(Option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_KEEPIDLE), 7);
  EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_KEEPINTVL), 2);
  EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_KEEPCNT), 4);
  EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 12345);
  ::close(fd);
}

TEST(DeadPathLimits, TheDefaultsNoticeADeadPathWithinHalfAMinute) {
  // Idle: the first probe after idleSeconds, the end when it stays
  // unanswered for the limit; busy: the limit after the first lost segment.
  EXPECT_LE(kDeadPathLimits.idleSeconds * 1000 + kDeadPathLimits.unacknowledgedMs, 30000u);
  EXPECT_GT(kDeadPathLimits.unacknowledgedMs, 2u * kDeadPathLimits.probeIntervalSeconds * 1000)
      << "one lost probe alone does not end a live connection";
}

TEST(DeadPathLimits, ASocketThatIsNoneIsReported) {
  EXPECT_EQ(ApplyDeadPathLimits(-1), EBADF);
}

}  // namespace
}  // namespace vorel
