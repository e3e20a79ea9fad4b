#include "p8/send_queue.h"

#include <utility>

namespace vorel {

bool SendQueue::Push(Bytes record) {
  if (full_) return false;
  slots_[tail_] = std::move(record);
  tail_ = (tail_ + 1) % kSlots;
  if (tail_ == head_) full_ = true;
  return true;
}

bool SendQueue::Peek(Bytes& record) const {
  if (Empty()) return false;
  record = slots_[head_];
  return true;
}

void SendQueue::DropHead() {
  if (Empty()) return;
  Bytes().swap(slots_[head_]);  // the slot gives its memory back
  head_ = (head_ + 1) % kSlots;
  full_ = false;
}

std::size_t SendQueue::Size() const {
  if (full_) return kSlots;
  return (tail_ + kSlots - head_) % kSlots;
}

}  // namespace vorel
