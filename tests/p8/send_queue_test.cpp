#include "p8/send_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "p8/link.h"
#include "p8/record.h"
#include "p8/record_types.h"

namespace vorel {
namespace {

Bytes Numbered(std::uint32_t n) {
  Bytes record(4);
  PutLE<std::uint32_t>(record, 0, n);
  return record;
}

std::uint32_t NumberOf(const Bytes& record) { return GetLE<std::uint32_t>(record, 0); }

std::uint64_t SequenceOf(const Bytes& record) { return GetLE<std::uint64_t>(record, kRecordSequenceOffset); }

TEST(SendQueue, EmptyQueue) {
  SendQueue queue;
  Bytes record{1, 2, 3};
  EXPECT_TRUE(queue.Empty());
  EXPECT_FALSE(queue.Peek(record));
  EXPECT_EQ(Bytes({1, 2, 3}), record);  // untouched
  queue.DropHead();
  EXPECT_TRUE(queue.Empty());
  EXPECT_FALSE(queue.Full());
  EXPECT_EQ(0u, queue.Head());
  EXPECT_EQ(0u, queue.Tail());
}

TEST(SendQueue, HoldsAHundredAndRefusesMore) {
  SendQueue queue;
  for (std::uint32_t i = 0; i < 100; ++i) ASSERT_TRUE(queue.Push(Numbered(i))) << i;
  EXPECT_TRUE(queue.Full());
  EXPECT_FALSE(queue.Empty());
  EXPECT_EQ(100u, queue.Size());
  EXPECT_EQ(0u, queue.Head());
  EXPECT_EQ(0u, queue.Tail());
  EXPECT_FALSE(queue.Push(Numbered(100)));

  // One drop makes room for exactly one more, in the slot just freed.
  queue.DropHead();
  EXPECT_FALSE(queue.Full());
  EXPECT_TRUE(queue.Push(Numbered(101)));
  EXPECT_TRUE(queue.Full());
  EXPECT_FALSE(queue.Push(Numbered(102)));

  Bytes record;
  for (std::uint32_t want = 1; want < 100; ++want) {
    ASSERT_TRUE(queue.Peek(record));
    EXPECT_EQ(want, NumberOf(record));
    queue.DropHead();
  }
  ASSERT_TRUE(queue.Peek(record));
  EXPECT_EQ(101u, NumberOf(record));
  queue.DropHead();
  EXPECT_TRUE(queue.Empty());
}

TEST(SendQueue, HundredPushesAndDropsLeaveItEmptyAtZero) {
  SendQueue queue;
  for (std::uint32_t i = 0; i < 100; ++i) queue.Push(Numbered(i));
  for (int i = 0; i < 100; ++i) queue.DropHead();
  EXPECT_TRUE(queue.Empty());
  EXPECT_FALSE(queue.Full());
  EXPECT_EQ(0u, queue.Head());
  EXPECT_EQ(0u, queue.Tail());
  queue.DropHead();  // nothing to drop: no wrap of head past tail
  EXPECT_EQ(0u, queue.Head());
}

TEST(SendQueue, KeepsOrderAcrossTheWrap) {
  SendQueue queue;
  std::uint32_t next = 0;
  std::uint32_t expected = 0;
  Bytes record;
  for (; next < 60; ++next) queue.Push(Numbered(next));
  for (int i = 0; i < 50; ++i, ++expected) {
    ASSERT_TRUE(queue.Peek(record));
    ASSERT_EQ(expected, NumberOf(record));
    queue.DropHead();
  }
  for (; next < 150; ++next) ASSERT_TRUE(queue.Push(Numbered(next)));  // tail wraps past 99
  EXPECT_TRUE(queue.Full());
  EXPECT_EQ(50u, queue.Head());
  while (queue.Peek(record)) {
    ASSERT_EQ(expected++, NumberOf(record));
    queue.DropHead();
  }
  EXPECT_EQ(150u, expected);
}

TEST(SendQueue, PeekGivesTheSameIndependentCopy) {
  SendQueue queue;
  queue.Push(Numbered(7));
  queue.Push(Numbered(8));
  Bytes first;
  Bytes second;
  ASSERT_TRUE(queue.Peek(first));
  first[0] = 0x55;
  ASSERT_TRUE(queue.Peek(second));
  EXPECT_EQ(7u, NumberOf(second));
}

TEST(P8Link, NewLinkObject) {
  cl link;
  EXPECT_FALSE(link.LinkUp());
  EXPECT_TRUE(link.LinkEnabled());
  EXPECT_FALSE(link.StopRequested());
  EXPECT_EQ(0u, link.QueuedCount());
  Bytes record;
  EXPECT_FALSE(link.Peek(record));
}

TEST(P8Link, EnqueueNumbersRecordsFromZero) {
  cl link;
  EXPECT_TRUE(link.Enqueue(rtHello, Bytes{0x13, 0x00}));
  EXPECT_TRUE(link.Enqueue(rtPingReply, {}));
  Bytes record;
  ASSERT_TRUE(link.Peek(record));
  EXPECT_EQ(BuildRecord(rtHello, 0, Bytes{0x13, 0x00}), record);
  link.DropHead();
  ASSERT_TRUE(link.Peek(record));
  EXPECT_EQ(18u, record.size());
  EXPECT_EQ(BuildRecord(rtPingReply, 1, {}), record);
}

TEST(P8Link, RefusedRecordUsesUpItsNumber) {
  cl link;
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(link.Enqueue(rtEventMain, Bytes{1}));
  EXPECT_FALSE(link.Enqueue(rtEventMain, Bytes{2}));  // number 100, discarded
  EXPECT_EQ(100u, link.QueuedCount());
  link.DropHead();
  EXPECT_TRUE(link.Enqueue(rtEventMain, Bytes{3}));
  EXPECT_FALSE(link.Enqueue(rtEventMain, Bytes{4}));

  std::vector<std::uint64_t> sequences;
  Bytes record;
  while (link.Peek(record)) {
    sequences.push_back(SequenceOf(record));
    link.DropHead();
  }
  ASSERT_EQ(100u, sequences.size());
  EXPECT_EQ(1u, sequences.front());
  EXPECT_EQ(99u, sequences[98]);
  EXPECT_EQ(101u, sequences.back());
  EXPECT_EQ(Bytes{3}, Bytes(record.begin() + kRecordHeaderSize, record.end()));
}

// Guards against numbering outside the queue lock: a record numbered by one
// thread and queued after another thread's later number. The producer plays
// the GUI thread, the consumer the link thread, which also queues replies.
TEST(P8Link, TwoThreadsLoseNothingAndKeepNumbersInQueueOrder) {
  constexpr std::uint32_t kProduced = 100000;
  cl link;
  std::vector<std::uint32_t> acceptedFromProducer;
  std::vector<std::uint32_t> acceptedFromConsumer;
  std::atomic<bool> producerDone{false};
  std::uint32_t consumerCalls = 0;

  std::thread producer([&] {
    for (std::uint32_t i = 0; i < kProduced; ++i) {
      const Bytes payload{0, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8),
                          static_cast<std::uint8_t>(i >> 16)};
      if (link.Enqueue(rtEventMain, payload)) acceptedFromProducer.push_back(i);
    }
    producerDone = true;
  });

  std::vector<Bytes> received;
  std::thread consumer([&] {
    Bytes record;
    for (;;) {
      if (link.Peek(record)) {
        link.DropHead();
        received.push_back(record);
        if (received.size() % 7 == 0) {
          const std::uint32_t j = consumerCalls++;
          const Bytes payload{1, static_cast<std::uint8_t>(j), static_cast<std::uint8_t>(j >> 8),
                              static_cast<std::uint8_t>(j >> 16)};
          if (link.Enqueue(rtPingReply, payload)) acceptedFromConsumer.push_back(j);
        }
      } else if (producerDone) {
        if (!link.Peek(record)) break;
      } else {
        std::this_thread::yield();
      }
    }
  });
  producer.join();
  consumer.join();

  const std::uint64_t calls = kProduced + consumerCalls;
  std::vector<std::uint32_t> gotFromProducer;
  std::vector<std::uint32_t> gotFromConsumer;
  std::uint64_t previous = 0;
  for (std::size_t k = 0; k < received.size(); ++k) {
    const Bytes& record = received[k];
    ASSERT_EQ(kRecordHeaderSize + 4, record.size());
    const std::uint64_t sequence = SequenceOf(record);
    ASSERT_LT(sequence, calls);
    if (k > 0) {
      ASSERT_GT(sequence, previous) << "record " << k;
    }
    previous = sequence;
    const std::uint32_t id = record[19] | record[20] << 8 | record[21] << 16;
    (record[18] == 0 ? gotFromProducer : gotFromConsumer).push_back(id);
  }
  EXPECT_EQ(acceptedFromProducer, gotFromProducer);
  EXPECT_EQ(acceptedFromConsumer, gotFromConsumer);
  EXPECT_EQ(0u, link.QueuedCount());
}

}  // namespace
}  // namespace vorel
