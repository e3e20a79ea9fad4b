// The protocol-8 send queue: a ring of 100 complete records. All 100 slots are
// usable; head = tail means empty or full, told apart by the full flag. Not
// locked: the link object guards it with its own mutex.
#pragma once

#include <array>
#include <cstddef>

#include "base/bytes.h"

namespace vorel {

class SendQueue {
 public:
  static constexpr std::size_t kSlots = 100;

  // Keeps the record in the tail slot; false, with nothing changed, when full.
  bool Push(Bytes record);
  // A copy of the head record, which stays queued; false when empty.
  bool Peek(Bytes& record) const;
  // Releases the head record; nothing when empty.
  void DropHead();

  bool Empty() const { return head_ == tail_ && !full_; }
  bool Full() const { return full_; }
  std::size_t Size() const;
  std::size_t Head() const { return head_; }
  std::size_t Tail() const { return tail_; }

 private:
  std::array<Bytes, kSlots> slots_;
  std::size_t head_ = 0;  // the oldest record, the next to send
  std::size_t tail_ = 0;  // the slot that takes the next record
  bool full_ = false;
};

}  // namespace vorel
