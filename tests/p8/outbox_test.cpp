// The life of a .dd8 file on its way to the protocol-8 server: the table of
// (state, event) -> (state, file action), which answers deliver, and the
// outbox applying both to real files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>

#include "p8/outbox.h"
#include "p8/record_types.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

using Outbox = Protocol8Outbox;
using State = Outbox::State;
using Event = Outbox::Event;
using FileAction = Outbox::FileAction;

struct TransitionCase {
  State state;
  Event event;
  std::optional<State> next;
  FileAction file;
};

TEST(Protocol8OutboxTable, EveryStateAndEvent) {
  const TransitionCase cases[] = {
      {State::Ready, Event::Numbered, State::Queued, FileAction::Keep},
      {State::Ready, Event::Written, State::Ready, FileAction::Keep},
      {State::Ready, Event::Delivered, State::Ready, FileAction::Keep},
      {State::Ready, Event::NotDelivered, State::Ready, FileAction::Keep},  // not yet sent: nothing to settle
      {State::Ready, Event::Unanswered, State::Ready, FileAction::Keep},
      {State::Ready, Event::Released, std::nullopt, FileAction::Keep},
      {State::Queued, Event::Numbered, State::Queued, FileAction::Keep},
      {State::Queued, Event::Written, State::InFlight, FileAction::Keep},
      {State::Queued, Event::Delivered, State::Queued, FileAction::Keep},  // no answer before its request
      {State::Queued, Event::NotDelivered, State::Queued, FileAction::Keep},
      {State::Queued, Event::Unanswered, State::Queued, FileAction::Keep},
      {State::Queued, Event::Released, std::nullopt, FileAction::Keep},
      {State::InFlight, Event::Numbered, State::InFlight, FileAction::Keep},  // numbered once: no step back
      {State::InFlight, Event::Written, State::InFlight, FileAction::Keep},
      {State::InFlight, Event::Delivered, std::nullopt, FileAction::Remove},
      {State::InFlight, Event::NotDelivered, std::nullopt, FileAction::Keep},
      {State::InFlight, Event::Unanswered, std::nullopt, FileAction::Keep},
      {State::InFlight, Event::Released, std::nullopt, FileAction::Keep},
  };
  for (const TransitionCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "state " << static_cast<int>(c.state) << ", event "
                                    << static_cast<int>(c.event));
    const Outbox::Outcome outcome = Outbox::Transition(c.state, c.event);
    EXPECT_EQ(outcome.next, c.next);
    EXPECT_EQ(outcome.file, c.file);
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
  Outbox outbox;
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
  EXPECT_DOUBLE_EQ(outbox.LastReplayTime(), kNow);
}

TEST_F(Protocol8OutboxTest, AReplayedFileDeliveredLetsTheNextReplayComeAtOnce) {
  const std::string replayed = File("1.dd8");
  QueueReplayed(7, replayed, rtEventSecond, kNow);
  EXPECT_EQ(outbox.PendingSpoolFileSecond(), replayed);
  EXPECT_FALSE(outbox.ReplayDue(kNow + 3 * kSecond));
  outbox.Written(7);
  outbox.Settle(7, rtEventSecondAck, kNow + kSecond);
  EXPECT_FALSE(Exists(replayed));
  EXPECT_TRUE(outbox.ReplayDue(kNow + 1.1 * kSecond));
}

TEST_F(Protocol8OutboxTest, TheLinkGoingDownLeavesEveryFileToTheReplay) {
  const std::string queued = File("a.dd8");
  const std::string inFlight = File("b.dd8");
  const std::string ready = File("c.dd8");
  outbox.Queue(1, inFlight, SpoolOrigin::Live, rtEventMain);
  outbox.Queue(2, queued, SpoolOrigin::Live, rtEventMain);
  outbox.Ready({ready, rtEventMain, {}}, kNow);
  EXPECT_EQ(outbox.ReplayedOnTheirWay(), 1u);
  outbox.Written(1);
  outbox.Release();
  EXPECT_FALSE(outbox.TakeReady());
  EXPECT_EQ(outbox.ReplayedOnTheirWay(), 0u);
  EXPECT_TRUE(outbox.FilesOnTheirWay().empty());
  outbox.Settle(1, rtEventMainAck, kNow);  // an answer after the release settles nothing
  EXPECT_TRUE(Exists(queued));
  EXPECT_TRUE(Exists(inFlight));
  EXPECT_FALSE(outbox.OnItsWay(inFlight));
}

}  // namespace
}  // namespace vorel
