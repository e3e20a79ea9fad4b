#include "base/host_lookup_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_clock.h"

namespace vorel {
namespace {

using Addresses = std::vector<std::uint32_t>;

// A resolver that answers only when the test says so: each look-up the cache
// asks for is counted, and its answer given later by hand.
struct SlowNameService {
  HostLookupCache cache;
  int started = 0;

  explicit SlowNameService(IClock& clock) : cache(clock) {}
  // One connection attempt: the addresses it may use now.
  Addresses Attempt(const std::string& name) {
    HostLookupCache::Plan plan = cache.ForAttempt(name);
    if (plan.startLookUp) ++started;
    return plan.addresses;
  }
};

TEST(HostLookupCache, ASlowAnswerIsKeptAndServesTheAttemptsAfterIt) {
  test::FakeClock clock;
  SlowNameService dns(clock);
  // The name service takes 4 s; attempts come every 3 s and fail meanwhile.
  EXPECT_TRUE(dns.Attempt("alarm.example").empty());
  clock.Advance(3000);
  EXPECT_TRUE(dns.Attempt("alarm.example").empty());
  EXPECT_EQ(dns.started, 1) << "one look-up out at a time";
  EXPECT_TRUE(dns.cache.LookUpOut("alarm.example"));
  clock.Advance(1000);
  dns.cache.Answered("alarm.example", {0x0100007F});
  EXPECT_FALSE(dns.cache.LookUpOut("alarm.example"));
  clock.Advance(2000);
  EXPECT_EQ(dns.Attempt("alarm.example"), Addresses{0x0100007F});
  EXPECT_EQ(dns.started, 1) << "a fresh answer asks nothing";
  // Names are kept apart.
  EXPECT_TRUE(dns.Attempt("other.example").empty());
  EXPECT_EQ(dns.started, 2);
}

TEST(HostLookupCache, AnAgedAnswerIsUsedAtOnceAndRefreshedInTheBackground) {
  test::FakeClock clock;
  SlowNameService dns(clock);
  dns.Attempt("alarm.example");
  dns.cache.Answered("alarm.example", {0x0100007F});
  clock.Advance(HostLookupCache::kRefreshAfterMs - 1);
  dns.Attempt("alarm.example");
  EXPECT_EQ(dns.started, 1);
  clock.Advance(1);
  EXPECT_EQ(dns.Attempt("alarm.example"), Addresses{0x0100007F}) << "the old answer serves while a new one is out";
  EXPECT_EQ(dns.started, 2);
  EXPECT_EQ(dns.Attempt("alarm.example"), Addresses{0x0100007F});
  EXPECT_EQ(dns.started, 2) << "no second look-up while the refresh is out";
  // The server moved: the refresh's answer serves from now on.
  dns.cache.Answered("alarm.example", {0x0200007F});
  EXPECT_EQ(dns.Attempt("alarm.example"), Addresses{0x0200007F});
}

TEST(HostLookupCache, ANameThatDoesNotResolveKeepsTheLastGoodAnswer) {
  test::FakeClock clock;
  SlowNameService dns(clock);
  // Never resolved: every attempt asks again, and has nothing to go on.
  for (int attempt = 1; attempt <= 3; ++attempt) {
    EXPECT_TRUE(dns.Attempt("no-such-host.invalid").empty());
    dns.cache.Answered("no-such-host.invalid", {});
  }
  EXPECT_EQ(dns.started, 3);
  // Resolved once, then a failing refresh: the good answer stays.
  dns.Attempt("alarm.example");
  dns.cache.Answered("alarm.example", {0x0100007F});
  clock.Advance(HostLookupCache::kRefreshAfterMs);
  dns.Attempt("alarm.example");
  dns.cache.Answered("alarm.example", {});
  EXPECT_EQ(dns.Attempt("alarm.example"), Addresses{0x0100007F});
  EXPECT_EQ(dns.started, 6) << "the aged answer is asked again at the next attempt";
}

TEST(HostLookupCache, ALookUpThatNeverReturnsOrNeverStartedDoesNotBlockTheNext) {
  test::FakeClock clock;
  SlowNameService dns(clock);
  dns.Attempt("alarm.example");
  dns.cache.NotStarted("alarm.example");  // no thread to be had
  dns.Attempt("alarm.example");
  EXPECT_EQ(dns.started, 2);
  // This one hangs.
  clock.Advance(HostLookupCache::kAbandonAfterMs - 1);
  dns.Attempt("alarm.example");
  EXPECT_EQ(dns.started, 2);
  clock.Advance(1);
  dns.Attempt("alarm.example");
  EXPECT_EQ(dns.started, 3);
  // The tick counter wraps in the middle of a look-up: it is still out.
  test::FakeClock wrapping(46000.5, 0xFFFFFF00u);
  SlowNameService late(wrapping);
  late.Attempt("alarm.example");
  wrapping.Advance(0x200);
  late.Attempt("alarm.example");
  EXPECT_EQ(late.started, 1);
}

}  // namespace
}  // namespace vorel
