#include "p8/link.h"

#include <utility>

#include "p8/record.h"

namespace vorel {

bool cl::Enqueue(std::int32_t recordType, std::span<const std::uint8_t> payload) {
  // Built outside the lock; only the number is written under it.
  Bytes record = BuildRecord(recordType, 0, payload);
  std::lock_guard lock(queueMutex_);
  PutLE<std::uint64_t>(record, kRecordSequenceOffset, sequenceCounter_);
  ++sequenceCounter_;
  return queue_.Push(std::move(record));
}

bool cl::Peek(Bytes& record) {
  std::lock_guard lock(queueMutex_);
  return queue_.Peek(record);
}

void cl::DropHead() {
  std::lock_guard lock(queueMutex_);
  queue_.DropHead();
}

std::size_t cl::QueuedCount() const {
  std::lock_guard lock(queueMutex_);
  return queue_.Size();
}

}  // namespace vorel
