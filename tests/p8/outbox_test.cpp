// The life of a protocol-8 event on its way to the server: the table of
// (state, event) -> (state, effect), which answers deliver, and the outbox
// applying both to real files and to callers waiting without one.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "p8/outbox.h"
#include "p8/record_types.h"
#include "support/fake_scheduler.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

using Outbox = Protocol8Outbox;
using State = Outbox::State;
using Event = Outbox::Event;
using Effect = Outbox::Effect;
using Outcome = Outbox::Outcome;

// Every (state, event) pair, spelled out: a row per state, a column per
// event in the order of Outbox::kEvents.
TEST(Protocol8OutboxTable, EveryStateAndEvent) {
  using S = State;
  constexpr std::size_t kEventCount = std::size(Outbox::kEvents);
  ASSERT_EQ(kEventCount, 10u);
  ASSERT_EQ(std::size(Outbox::kStates), 8u);
  const auto to = [](S next, Effect effect = Effect::None) { return Outcome{next, effect}; };
  const auto gone = [](Effect effect = Effect::None) { return Outcome{std::nullopt, effect}; };
  const struct {
    State state;
    // Numbered, Written, Delivered, NotDelivered, Unanswered, LinkDown,
    // Dropped, Removed, NotRemoved, BoundPassed
    std::array<Outcome, kEventCount> after;
  } rows[] = {
      // A replayed file outside the queue: only numbering moves it; the link
      // going down leaves it on disk; no answer can be for it.
      {S::Ready,
       {to(S::Queued), to(S::Ready), to(S::Ready), to(S::Ready), to(S::Ready), gone(), to(S::Ready), to(S::Ready),
        to(S::Ready), to(S::Ready)}},
      // Queued with its file: no answer before its request went out.
      {S::Queued,
       {to(S::Queued), to(S::InFlight), to(S::Queued), to(S::Queued), to(S::Queued), gone(), gone(), to(S::Queued),
        to(S::Queued), to(S::Queued)}},
      // In flight with its file: removed only for an answer that delivers it,
      // else on disk for the replay; numbered once, no step back.
      {S::InFlight,
       {to(S::InFlight), to(S::InFlight), to(S::Removing, Effect::RemoveFile), gone(), gone(), gone(), gone(),
        to(S::InFlight), to(S::InFlight), to(S::InFlight)}},
      // Being removed: only the removal's end counts.
      {S::Removing,
       {to(S::Removing), to(S::Removing), to(S::Removing), to(S::Removing), to(S::Removing), to(S::Removing),
        to(S::Removing), gone(Effect::FileGone), gone(), to(S::Removing)}},
      // No file, its caller waiting: it stays queued over a link down; its
      // caller hears "no" at the bound or when it leaves the queue.
      {S::Awaited,
       {to(S::Awaited), to(S::AwaitedInFlight), to(S::Awaited), to(S::Awaited), to(S::Awaited), to(S::Awaited),
        gone(Effect::TellNotAnswered), to(S::Awaited), to(S::Awaited), to(S::Overdue, Effect::TellNotAnswered)}},
      {S::AwaitedInFlight,
       {to(S::AwaitedInFlight), to(S::AwaitedInFlight), gone(Effect::TellAnswered), to(S::Awaited), to(S::Awaited),
        to(S::Awaited), gone(Effect::TellNotAnswered), to(S::AwaitedInFlight), to(S::AwaitedInFlight),
        to(S::OverdueInFlight, Effect::TellNotAnswered)}},
      // Its caller told already: an answer later is only counted.
      {S::Overdue,
       {to(S::Overdue), to(S::OverdueInFlight), to(S::Overdue), to(S::Overdue), to(S::Overdue), to(S::Overdue),
        gone(), to(S::Overdue), to(S::Overdue), to(S::Overdue)}},
      {S::OverdueInFlight,
       {to(S::OverdueInFlight), to(S::OverdueInFlight), gone(Effect::CountAnswered), to(S::Overdue), to(S::Overdue),
        to(S::Overdue), gone(), to(S::OverdueInFlight), to(S::OverdueInFlight), to(S::OverdueInFlight)}},
  };
  ASSERT_EQ(std::size(rows), std::size(Outbox::kStates)) << "a row for every state";
  for (std::size_t r = 0; r < std::size(rows); ++r) {
    ASSERT_EQ(rows[r].state, Outbox::kStates[r]);
    for (std::size_t e = 0; e < kEventCount; ++e) {
      SCOPED_TRACE(testing::Message() << "state " << static_cast<int>(rows[r].state) << ", event "
                                      << static_cast<int>(Outbox::kEvents[e]));
      const Outcome outcome = Outbox::Transition(rows[r].state, Outbox::kEvents[e]);
      EXPECT_EQ(outcome.next, rows[r].after[e].next);
      EXPECT_EQ(outcome.effect, rows[r].after[e].effect);
    }
  }
}

TEST(Protocol8OutboxTable, WhichAnswersDeliver) {
  const struct {
    SpoolOrigin origin;
    std::int32_t record;
    std::int32_t answer;
    bool delivers;
  } cases[] = {
      {SpoolOrigin::Live, rtEventMain, rtEventMainAck, true},
      {SpoolOrigin::Live, rtEventMain, rtPoll, true},  // answered, whatever it says besides
      {SpoolOrigin::Live, rtEventSecond, rtPing, true},
      {SpoolOrigin::Live, rtEventMain, rtAccessDenied, false},
      {SpoolOrigin::Live, rtEventMain, rtClose, false},  // a server going away
      {SpoolOrigin::Live, rtEventSecond, rtDisconnect, false},
      {SpoolOrigin::Replayed, rtEventMain, rtEventMainAck, true},
      {SpoolOrigin::Replayed, rtEventMain, rtEventSecondAck, false},
      {SpoolOrigin::Replayed, rtEventSecond, rtEventSecondAck, true},
      {SpoolOrigin::Replayed, rtEventSecond, rtEventMainAck, false},
      {SpoolOrigin::Replayed, rtEventMain, rtPoll, false},
      {SpoolOrigin::Replayed, rtEventMain, rtAccessDenied, false},
      {SpoolOrigin::Replayed, rtEventMain, rtDisconnect, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "origin " << static_cast<int>(c.origin) << ", record " << c.record
                                    << ", answer " << c.answer);
    EXPECT_EQ(Outbox::AnswerDelivers(c.origin, c.record, c.answer), c.delivers);
  }
}

class Protocol8OutboxTest : public ::testing::Test {
 protected:
  std::string File(const std::string& name) {
    const std::string path = (dir.Path() / name).string();
    std::ofstream(path) << "x";
    return path;
  }
  static bool Exists(const std::string& path) { return std::filesystem::exists(path); }
  // The replay hands the file over; the link thread numbers it into the queue.
  void QueueReplayed(std::uint64_t sequence, const std::string& file, std::int32_t type, TDateTime at) {
    outbox.Ready({file, type, {}}, at);
    const auto ready = outbox.TakeReady();
    ASSERT_TRUE(ready);
    ASSERT_EQ(ready->file, file);
    outbox.Queue(sequence, file, SpoolOrigin::Replayed, type);
  }

  test::TempDir dir;
  // Every file removal, with what the outbox showed the GUI thread meanwhile.
  // A disk that refuses to remove files (removable false).
  std::function<void(const std::string&)> duringRemoval;
  bool removable = true;
  Outbox outbox{[this](const std::string& file) {
    if (duringRemoval) duringRemoval(file);
    std::error_code ignored;
    return removable && std::filesystem::remove(file, ignored);
  }};
  static constexpr TDateTime kNow = 46000.5;
  static constexpr TDateTime kSecond = 1.0 / 86400.0;
};

TEST_F(Protocol8OutboxTest, AFileGoesOnlyWithTheAnswerThatDeliversItsOwnExchange) {
  const std::string live = File("live.dd8");
  const std::string replayed = File("replayed.dd8");
  outbox.Queue(1, live, SpoolOrigin::Live, rtEventMain);
  QueueReplayed(2, replayed, rtEventMain, kNow);
  EXPECT_EQ(outbox.FilesOnTheirWay(), (std::set<std::string>{live, replayed}));

  outbox.Settle(2, rtEventMainAck, kNow);  // before its request went out
  EXPECT_TRUE(Exists(replayed));
  outbox.Written(1);
  outbox.Settle(1, rtPoll, kNow);
  EXPECT_FALSE(Exists(live));
  outbox.Written(2);
  outbox.Settle(2, rtEventSecondAck, kNow);  // the wrong kind
  EXPECT_TRUE(Exists(replayed));
  EXPECT_TRUE(outbox.FilesOnTheirWay().empty()) << "on disk again, the replay's";
  EXPECT_EQ(outbox.TakeRemoved(), std::vector<std::string>{live});
  EXPECT_FALSE(outbox.ReplayDue(kNow + 3 * kSecond)) << "only a replayed file delivered hurries the replay";
}

TEST_F(Protocol8OutboxTest, AReplayedFileDeliveredLetsTheNextReplayComeAtOnce) {
  const std::string replayed = File("1.dd8");
  QueueReplayed(7, replayed, rtEventSecond, kNow);
  EXPECT_FALSE(outbox.ReplayDue(kNow + 3 * kSecond));
  outbox.Written(7);
  outbox.Settle(7, rtEventSecondAck, kNow + kSecond);
  EXPECT_FALSE(Exists(replayed));
  EXPECT_TRUE(outbox.ReplayDue(kNow + 1.1 * kSecond));
}

TEST_F(Protocol8OutboxTest, TheLinkGoingDownLeavesEveryFileToTheReplayAndEveryEventWithoutOneQueued) {
  const std::string queued = File("a.dd8");
  const std::string inFlight = File("b.dd8");
  const std::string ready = File("c.dd8");
  std::vector<bool> told;
  outbox.Queue(1, inFlight, SpoolOrigin::Live, rtEventMain);
  outbox.Queue(2, queued, SpoolOrigin::Live, rtEventMain);
  outbox.QueueAwaited(3, rtEventMain, [&](bool answered) { told.push_back(answered); });
  outbox.Ready({ready, rtEventMain, {}}, kNow);
  EXPECT_EQ(outbox.ReplayedOnTheirWay(), 1u);
  outbox.Written(1);
  outbox.Written(3);
  outbox.LinkDown();
  EXPECT_FALSE(outbox.TakeReady());
  EXPECT_EQ(outbox.ReplayedOnTheirWay(), 0u);
  EXPECT_TRUE(outbox.FilesOnTheirWay().empty());
  outbox.Settle(1, rtEventMainAck, kNow);  // an answer after the release settles nothing
  EXPECT_TRUE(Exists(queued));
  EXPECT_TRUE(Exists(inFlight));
  EXPECT_TRUE(outbox.TakeRemoved().empty());
  ASSERT_TRUE(outbox.Of(3));
  EXPECT_EQ(outbox.Of(3)->state, State::Awaited) << "no file: it stays queued for the next connection";
  outbox.Written(3);
  outbox.Settle(3, rtEventMainAck, kNow);
  EXPECT_EQ(told, std::vector<bool>{true});
}

// The GUI thread takes the outbox's lock on every tick (the replay, the
// index): a slow disk removing a delivered file must not hold it there, and
// the file stays on its way meanwhile, so that the replay leaves it alone.
TEST_F(Protocol8OutboxTest, AFileIsRemovedOutsideTheLockAndStaysOnItsWayMeanwhile) {
  for (const bool canRemove : {true, false}) {
    SCOPED_TRACE(canRemove ? "removed" : "not removable");
    removable = canRemove;
    const std::string file = File("live.dd8");
    outbox.Queue(1, file, SpoolOrigin::Live, rtEventMain);
    outbox.Written(1);
    std::optional<std::set<std::string>> seenByTheEventLoop;
    duringRemoval = [&](const std::string& removing) {
      EXPECT_EQ(removing, file);
      // The event loop's calls, from another thread while the removal runs:
      // they return at once unless the lock is held.
      auto tick = std::async(std::launch::async, [&] {
        outbox.ReplayDue(kNow);
        outbox.TakeRemoved();
        return outbox.FilesOnTheirWay();
      });
      if (tick.wait_for(std::chrono::seconds(30)) == std::future_status::ready) seenByTheEventLoop = tick.get();
    };
    outbox.Settle(1, rtEventMainAck, kNow);
    ASSERT_TRUE(seenByTheEventLoop) << "the event loop waited for the disk";
    EXPECT_EQ(*seenByTheEventLoop, std::set<std::string>{file}) << "on its way while it is removed";
    EXPECT_TRUE(outbox.FilesOnTheirWay().empty());
    if (canRemove) {
      EXPECT_FALSE(Exists(file));
      EXPECT_EQ(outbox.TakeRemoved(), std::vector<std::string>{file}) << "the index hears it gone";
    } else {
      // Still on disk, no longer on its way: the replay sends it again.
      EXPECT_TRUE(Exists(file));
      EXPECT_TRUE(outbox.TakeRemoved().empty());
      std::filesystem::remove(file);
    }
    duringRemoval = {};
  }
}

// An event whose file could not be written: its caller hears once, on the
// GUI thread, whether the server answered it within 1.4 s; an answer after
// that is counted delivered, and tells nobody twice.
class Protocol8OutboxAwaitedTest : public ::testing::Test {
 protected:
  Protocol8OutboxAwaitedTest() {
    outbox->AnswerOn([this](std::function<void()> call) { posted.push_back(std::move(call)); }, scheduler);
  }
  void Queue(std::uint64_t sequence) {
    outbox->QueueAwaited(sequence, rtEventMain, [this, sequence](bool answered) {
      told.emplace_back(sequence, answered);
    });
    outbox->StartBound(sequence);
  }
  // The GUI thread's event loop runs what was posted to it.
  void RunPosted() {
    for (auto& call : std::exchange(posted, {})) call();
  }

  test::FakeScheduler scheduler;
  std::vector<std::function<void()>> posted;
  std::vector<std::pair<std::uint64_t, bool>> told;
  std::optional<Outbox> outbox{std::in_place};
};

TEST_F(Protocol8OutboxAwaitedTest, TheCallerHearsOnceWhicheverComesFirst) {
  Queue(1);
  Queue(2);
  Queue(3);
  EXPECT_EQ(scheduler.delays, (std::vector<std::uint32_t>(3, Outbox::kAnswerBoundMs)));
  outbox->Written(1);
  outbox->Settle(1, rtPoll, 0);  // any valid answer of a live server
  EXPECT_TRUE(told.empty()) << "told on the GUI thread, not on the link thread";
  RunPosted();
  EXPECT_EQ(told, (std::vector<std::pair<std::uint64_t, bool>>{{1, true}}));

  outbox->Written(2);
  scheduler.Advance(Outbox::kAnswerBoundMs - 1);
  EXPECT_EQ(told.size(), 1u);
  scheduler.Advance(1);  // the bound passes before the answers of 2 and 3
  EXPECT_EQ(told, (std::vector<std::pair<std::uint64_t, bool>>{{1, true}, {2, false}, {3, false}}));
  outbox->Settle(2, rtEventMainAck, 0);
  outbox->Dropped(3);
  RunPosted();
  EXPECT_EQ(told.size(), 3u) << "told once";
  EXPECT_EQ(outbox->TakeAnsweredWithoutFile(), 2u) << "1 in time, 2 late: both at the server";
  EXPECT_FALSE(outbox->Of(2));
  EXPECT_FALSE(outbox->Of(3));
}

TEST_F(Protocol8OutboxAwaitedTest, ARecordThatLeavesTheQueueUnansweredIsNoAnswer) {
  for (const std::int32_t answer : {rtClose, rtDisconnect, rtAccessDenied}) {
    SCOPED_TRACE(answer);
    told.clear();
    Queue(1);
    outbox->Written(1);
    outbox->Settle(1, answer, 0);
    EXPECT_TRUE(outbox->Of(1)) << "queued still: it may go again";
    outbox->Dropped(1);
    RunPosted();
    EXPECT_EQ(told, (std::vector<std::pair<std::uint64_t, bool>>{{1, false}}));
    scheduler.Advance(Outbox::kAnswerBoundMs);
    EXPECT_EQ(told.size(), 1u);
    EXPECT_EQ(outbox->TakeAnsweredWithoutFile(), 0u);
  }
}

// The link object goes at the program's end; a caller still waiting hears
// "not in time" at its bound all the same, never nothing.
TEST_F(Protocol8OutboxAwaitedTest, ACallerStillWaitingWhenTheOutboxGoesHearsAtItsBound) {
  Queue(1);
  outbox->Written(1);
  outbox.reset();
  scheduler.Advance(Outbox::kAnswerBoundMs);
  EXPECT_EQ(told, (std::vector<std::pair<std::uint64_t, bool>>{{1, false}}));
}

}  // namespace
}  // namespace vorel
