#include "delay_line.h"

#include <algorithm>

namespace vorel::wan {

void DelayLine::Offer(Packet packet, Clock::time_point now) {
  ++counts_.offered;
  if (cut_) {
    ++counts_.cut;
    return;
  }
  // The draw is made for every packet, so a run with the same seed and the
  // same traffic drops the same packets whatever the share was before.
  const bool lose = std::uniform_real_distribution<double>(0.0, 1.0)(random_) < loss_;
  if (lose) {
    ++counts_.lost;
    return;
  }
  if (held_.size() >= limit_) {
    ++counts_.overflow;
    return;
  }
  // A shorter delay set meanwhile must not let a packet overtake one ahead.
  Clock::time_point due = now + delay_;
  if (!held_.empty()) due = std::max(due, held_.back().due);
  held_.push_back({due, std::move(packet)});
}

std::vector<Packet> DelayLine::TakeDue(Clock::time_point now) {
  std::vector<Packet> due;
  while (!held_.empty() && held_.front().due <= now) {
    if (cut_) {
      ++counts_.cut;
    } else {
      ++counts_.delivered;
      due.push_back(std::move(held_.front().packet));
    }
    held_.pop_front();
  }
  return due;
}

Clock::time_point DelayLine::NextDue() const {
  return held_.empty() ? Clock::time_point::max() : held_.front().due;
}

}  // namespace vorel::wan
