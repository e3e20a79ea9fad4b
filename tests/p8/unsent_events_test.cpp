// Guards against losing the events still queued when the program closes:
// live events come back, replayed ones (their files stay on disk) and the
// link's own records do not.
#include <gtest/gtest.h>

#include "p8/link.h"
#include "p8/record.h"
#include "p8/record_types.h"

namespace vorel {
namespace {

TEST(UnsentEvents, LiveEventsComeBackReplayedAndOtherRecordsDoNot) {
  cl link;
  const Bytes main(17, 1);
  const Bytes second(14, 2);
  ASSERT_TRUE(link.Enqueue(rtEventMain, main));
  ASSERT_TRUE(link.EnqueueReplayed(rtEventMain, main));  // its .dd8 file stays until acknowledged
  ASSERT_TRUE(link.Enqueue(rtPortStatus, Bytes(16, 0)));
  ASSERT_TRUE(link.Enqueue(rtEventSecond, second));

  const std::vector<Bytes> unsent = link.TakeUnsentEvents();
  ASSERT_EQ(unsent.size(), 2u);
  const auto first = ParseRecord(unsent[0]);
  const auto last = ParseRecord(unsent[1]);
  ASSERT_TRUE(first && last);
  EXPECT_EQ(first->header.recordType, rtEventMain);
  EXPECT_EQ(Bytes(first->payload.begin(), first->payload.end()), main);
  EXPECT_EQ(last->header.recordType, rtEventSecond);
  EXPECT_EQ(link.QueuedCount(), 0u);
}

TEST(UnsentEvents, ASentReplayedRecordNoLongerMarksItsNumber) {
  cl link;
  ASSERT_TRUE(link.EnqueueReplayed(rtEventMain, Bytes(17, 1)));  // sequence 0
  link.DropHead();                                               // sent
  ASSERT_TRUE(link.Enqueue(rtEventMain, Bytes(17, 2)));          // sequence 1: live
  EXPECT_EQ(link.TakeUnsentEvents().size(), 1u);
}

}  // namespace
}  // namespace vorel
