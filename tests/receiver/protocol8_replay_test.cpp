// What only the protocol-8 spool replay of the Timer2 tick does: its 3-s
// wait, its acknowledgements, live events ahead of the backlog, the records
// of each kind's size. What both replays share is in spool_replay_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "p8/link.h"
#include "receiver/protocol8_replay.h"
#include "p8/record.h"
#include "p8/record_types.h"
#include "receiver/event_record.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

using test::TempDir;

constexpr TDateTime kSecond = 1.0 / 86400.0;

class SpoolReplayTest : public ::testing::Test {
 protected:
  SpoolReplayTest() { link.SetLinkUp(true); }

  std::string Prefix() const { return dir.Path().string() + "/"; }
  // Event payloads of their kind's size, told apart by their first byte.
  static Bytes MainEvent(std::uint8_t tag) { return Tagged(kMainEventPayloadSize, tag); }
  static Bytes SecondEvent(std::uint8_t tag) { return Tagged(kSecondEventPayloadSize, tag); }
  static Bytes Tagged(std::size_t size, std::uint8_t tag) {
    Bytes payload(size, 0x30);
    payload[0] = tag;
    return payload;
  }
  void WriteSpool(const std::string& name, std::int32_t type, const Bytes& payload) {
    Bytes content(4);
    PutLE<std::int32_t>(content, 0, type);
    content.insert(content.end(), payload.begin(), payload.end());
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                      static_cast<std::streamsize>(content.size()));
  }
  void Tick(TDateTime at, const std::string& prefix = {}) { TickOf(replay, at, prefix); }
  // A tick of `r` over a fresh reading of the directory.
  void TickOf(Protocol8Replay& r, TDateTime at, const std::string& prefix = {}) {
    SpoolListing listing(prefix.empty() ? Prefix() : prefix);
    r.Step(listing, at);
  }
  // The link thread's part for the head record: written, then settled with
  // the server's answer (nullopt: none), then dropped. Its record type.
  std::int32_t Exchange(std::optional<std::int32_t> answer, TDateTime at) {
    QueuedRecord head;
    EXPECT_TRUE(link.Peek(head));
    link.Written(head);
    link.Settle(head, answer, at);
    link.DropHead();
    return ParseRecord(head.bytes)->header.recordType;
  }
  // Type, sequence number and payload of each queued record, in order.
  std::vector<std::tuple<std::int32_t, std::uint64_t, Bytes>> Drain() {
    std::vector<std::tuple<std::int32_t, std::uint64_t, Bytes>> out;
    Bytes r;
    while (link.Peek(r)) {
      link.DropHead();
      auto parsed = ParseRecord(r);
      out.emplace_back(parsed->header.recordType, parsed->header.sequence,
                       Bytes(parsed->payload.begin(), parsed->payload.end()));
    }
    return out;
  }

  TempDir dir;
  cl link;
  std::vector<std::string> log;
  // Every line of the replay names a file that holds an alarm and cannot go:
  // a warning for the journal.
  Protocol8Replay replay{link, [this](Severity severity, const std::string& line) {
                           EXPECT_EQ(static_cast<int>(severity), static_cast<int>(Severity::Warning)) << line;
                           log.push_back(line);
                         }};
  TDateTime t0 = 46000.5;
};

TEST_F(SpoolReplayTest, AnUnacknowledgedFileIsQueuedAgainEveryThreeSecondsAndStays) {
  WriteSpool("b.dd8", rtEventMain, MainEvent(1));
  Tick(t0);
  Exchange(std::nullopt, t0 + kSecond);  // no answer in time
  Tick(t0 + 3 * kSecond);  // not later than the last replay + 3 s
  Tick(t0 + 3.01 * kSecond);
  Tick(t0 + 6.02 * kSecond);  // still queued: on its way already
  EXPECT_EQ(link.Outbox().FilesOnTheirWay(), std::set<std::string>{Prefix() + "b.dd8"});
  EXPECT_FALSE(link.Outbox().ReplayDue(t0 + 6 * kSecond)) << "the last replay was at 3.01 s";
  EXPECT_TRUE(link.Outbox().ReplayDue(t0 + 6.02 * kSecond));
  using Q = std::tuple<std::int32_t, std::uint64_t, Bytes>;
  EXPECT_EQ(Drain(), (std::vector<Q>{{rtEventMain, 1, MainEvent(1)}}));
  EXPECT_TRUE(std::filesystem::exists(dir / "b.dd8"));
}

// While the link is down no replay is counted, so the first one after it
// comes up is due at once.
TEST_F(SpoolReplayTest, ALinkDownCountsNoReplay) {
  WriteSpool("a.dd8", rtEventMain, MainEvent(1));
  link.SetLinkUp(false);
  Tick(t0);
  EXPECT_EQ(link.QueuedCount(), 0u);
  EXPECT_TRUE(link.Outbox().FilesOnTheirWay().empty());
  EXPECT_TRUE(link.Outbox().ReplayDue(t0 + kSecond)) << "no replay counted";
}

TEST_F(SpoolReplayTest, SecondPortFilesTakeTheSecondSlotAndAcknowledgementsEmptyTheDirectoryTickByTick) {
  WriteSpool("2.dd8", rtEventSecond, SecondEvent(2));
  WriteSpool("1.dd8", rtEventMain, MainEvent(1));
  WriteSpool("3.ddm", rtEventMain, MainEvent(9));      // protocol 7: not ours
  WriteSpool("4.dd8.bad", rtEventMain, MainEvent(9));  // set aside earlier
  Tick(t0);
  EXPECT_EQ(link.Outbox().FilesOnTheirWay(), std::set<std::string>{Prefix() + "1.dd8"});
  EXPECT_EQ(Exchange(rtEventMainAck, t0 + 0.1 * kSecond), rtEventMain);
  Tick(t0 + 0.2 * kSecond);
  EXPECT_EQ(link.Outbox().FilesOnTheirWay(), std::set<std::string>{Prefix() + "2.dd8"});
  EXPECT_EQ(Exchange(rtEventSecondAck, t0 + 0.3 * kSecond), rtEventSecond);
  Tick(t0 + 0.4 * kSecond);
  EXPECT_TRUE(Drain().empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "1.dd8"));
  EXPECT_FALSE(std::filesystem::exists(dir / "2.dd8"));
  EXPECT_TRUE(std::filesystem::exists(dir / "3.ddm"));
}

// A faster pace keeps that many files on their way and tops them up at every
// tick, without the 3-s wait; each file still goes only with its own
// acknowledgement, and one without it goes again, oldest first.
TEST_F(SpoolReplayTest, AFasterPaceKeepsThatManyFilesOnTheirWayWithoutTheThreeSecondWait) {
  Protocol8Replay fast{link, {}, 3};
  for (std::uint8_t i = 1; i <= 5; ++i) WriteSpool(std::to_string(i) + ".dd8", rtEventMain, MainEvent(i));
  TickOf(fast, t0);
  EXPECT_EQ(link.Outbox().ReplayedOnTheirWay(), 3u);
  EXPECT_EQ(link.QueuedCount(), 3u);
  TickOf(fast, t0 + 0.2 * kSecond);
  EXPECT_EQ(link.QueuedCount(), 3u) << "no more than the pace on their way";

  std::vector<std::uint8_t> sent;
  const auto exchange = [&](std::optional<std::int32_t> answer, TDateTime at) {
    QueuedRecord head;
    ASSERT_TRUE(link.Peek(head));
    sent.push_back(ParseRecord(head.bytes)->payload[0]);
    link.Written(head);
    link.Settle(head, answer, at);
    link.DropHead();
  };
  exchange(rtEventMainAck, t0 + 0.3 * kSecond);  // 1 delivered
  exchange(std::nullopt, t0 + 0.3 * kSecond);    // 2 unanswered: back on disk
  TickOf(fast, t0 + 0.4 * kSecond);       // tops up with 2 and 4
  EXPECT_EQ(link.Outbox().ReplayedOnTheirWay(), 3u);
  for (int i = 0; i < 3; ++i) exchange(rtEventMainAck, t0 + 0.5 * kSecond);
  TickOf(fast, t0 + 0.6 * kSecond);
  exchange(rtEventMainAck, t0 + 0.7 * kSecond);
  EXPECT_EQ(sent, (std::vector<std::uint8_t>{1, 2, 3, 2, 4, 5}));
  for (int i = 1; i <= 5; ++i) EXPECT_FALSE(std::filesystem::exists(dir / (std::to_string(i) + ".dd8"))) << i;
  EXPECT_EQ(link.QueuedCount(), 0u);
}

// A backlog never holds up a live event: replayed records wait outside the
// send queue and are numbered into it only when it holds nothing else.
TEST_F(SpoolReplayTest, ALiveEventGoesAheadOfTheBacklog) {
  Protocol8Replay fast{link, {}, 3};
  for (std::uint8_t i = 1; i <= 3; ++i) WriteSpool(std::to_string(i) + ".dd8", rtEventMain, MainEvent(i));
  TickOf(fast, t0);
  WriteSpool("9.dd8", rtEventMain, MainEvent(9));
  ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, MainEvent(9), Prefix() + "9.dd8"));
  using Q = std::tuple<std::int32_t, std::uint64_t, Bytes>;
  EXPECT_EQ(Drain(), (std::vector<Q>{{rtEventMain, 0, MainEvent(9)},
                                     {rtEventMain, 1, MainEvent(1)},
                                     {rtEventMain, 2, MainEvent(2)},
                                     {rtEventMain, 3, MainEvent(3)}}))
      << "numbers follow the order of sending";
}

// A live event is written to its file before it is queued; replaying that
// file while the event waits in the queue would send it twice.
TEST_F(SpoolReplayTest, TheFileOfALiveEventStillQueuedIsLeftAloneAndReplayedOnceReleased) {
  WriteSpool("1.dd8", rtEventMain, MainEvent(1));
  WriteSpool("2.dd8", rtEventMain, MainEvent(2));
  ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, Bytes{1}, Prefix() + "1.dd8"));
  Tick(t0);
  QueuedRecord head;
  const auto origin = [&] { return link.Outbox().Of(head.sequence).value().origin; };
  ASSERT_TRUE(link.Peek(head));
  EXPECT_EQ(head.spoolFile, Prefix() + "1.dd8");
  EXPECT_EQ(origin(), SpoolOrigin::Live);
  link.DropHead();
  ASSERT_TRUE(link.Peek(head));
  EXPECT_EQ(head.spoolFile, Prefix() + "2.dd8");
  EXPECT_EQ(origin(), SpoolOrigin::Replayed);
  link.DropHead();

  // The link went down with the live event still queued: it leaves the
  // queue, and its file is the replay's again.
  ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, Bytes{1}, Prefix() + "1.dd8"));
  ASSERT_TRUE(link.Enqueue(rtHello, Bytes{0x13, 0}));
  link.ReleaseSpooled();
  EXPECT_TRUE(link.Outbox().FilesOnTheirWay().empty());
  auto kept = Drain();
  ASSERT_EQ(kept.size(), 1u) << "records without a file stay";
  EXPECT_EQ(std::get<0>(kept[0]), rtHello);
  Tick(t0 + 4 * kSecond);
  ASSERT_TRUE(link.Peek(head));
  EXPECT_EQ(head.spoolFile, Prefix() + "1.dd8");
}

// Only an event record of its kind's size is sent; anything else would reach
// the server as garbage.
TEST_F(SpoolReplayTest, AFileThatHoldsNoEventOfItsKindsSizeIsSetAside) {
  const struct {
    const char* name;
    std::int32_t type;
    Bytes payload;
  } broken[] = {
      {"1.dd8", rtEventMain, Tagged(kMainEventPayloadSize - 1, 1)},
      {"2.dd8", rtEventMain, Tagged(kMainEventPayloadSize + 1, 2)},
      {"3.dd8", rtEventSecond, Tagged(kMainEventPayloadSize, 3)},
      {"4.dd8", rtHello, Bytes{0x13, 0}},
      {"5.dd8", rtPortStatus, Tagged(16, 5)},
  };
  for (const auto& file : broken) WriteSpool(file.name, file.type, file.payload);
  WriteSpool("6.dd8", rtEventSecond, SecondEvent(6));
  Tick(t0);
  for (const auto& file : broken)
    EXPECT_TRUE(std::filesystem::exists(dir / (std::string(file.name) + ".bad"))) << file.name;
  EXPECT_EQ(log.size(), std::size(broken));
  using Q = std::tuple<std::int32_t, std::uint64_t, Bytes>;
  EXPECT_EQ(Drain(), (std::vector<Q>{{rtEventSecond, 0, SecondEvent(6)}}));
}

TEST_F(SpoolReplayTest, APathEndingInANamePartMatchesOnlyNamesStartingWithIt) {
  WriteSpool("other.dd8", rtEventMain, MainEvent(1));
  WriteSpool("sp_1.dd8", rtEventMain, MainEvent(2));
  Tick(t0, Prefix() + "sp_");
  EXPECT_EQ(link.Outbox().FilesOnTheirWay(), std::set<std::string>{Prefix() + "sp_1.dd8"});
  auto queued = Drain();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(std::get<2>(queued[0]), MainEvent(2));
}

TEST_F(SpoolReplayTest, AMissingDirectoryIsNoMatch) {
  Tick(t0, Prefix() + "nowhere/");
  EXPECT_EQ(link.QueuedCount(), 0u);
  EXPECT_TRUE(log.empty());
}

}  // namespace
}  // namespace vorel
