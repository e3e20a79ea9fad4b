// One direction of the simulated wide-area link: every packet offered is
// held for the one-way delay and then handed on, unless the loss share drops
// it, a cut is on (when it is offered or when it is due), or the line already
// holds its limit of packets (a router's full queue). Packets leave in the
// order they came, also when the delay changes meanwhile. Pure: the caller
// brings the time.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace vorel::wan {

using Clock = std::chrono::steady_clock;
using Packet = std::vector<std::uint8_t>;

struct LineCounts {
  std::uint64_t offered = 0;
  std::uint64_t delivered = 0;
  std::uint64_t lost = 0;      // by the loss share
  std::uint64_t cut = 0;       // offered or due while a cut was on
  std::uint64_t overflow = 0;  // the line held its limit already
};

class DelayLine {
 public:
  static constexpr std::size_t kDefaultLimit = 20000;

  explicit DelayLine(std::uint32_t seed, std::size_t limit = kDefaultLimit) : random_(seed), limit_(limit) {}

  void SetDelay(std::chrono::microseconds delay) { delay_ = delay; }
  // A share of 0 … 1 of the packets offered is dropped at random.
  void SetLoss(double share) { loss_ = share < 0 ? 0 : share > 1 ? 1 : share; }
  void SetCut(bool on) { cut_ = on; }
  std::chrono::microseconds Delay() const { return delay_; }
  double Loss() const { return loss_; }
  bool Cut() const { return cut_; }

  void Offer(Packet packet, Clock::time_point now);
  // The packets whose time has come, oldest first; those due while a cut is
  // on are dropped instead.
  std::vector<Packet> TakeDue(Clock::time_point now);
  // When the next packet is due; nothing held: time_point::max().
  Clock::time_point NextDue() const;
  std::size_t Held() const { return held_.size(); }
  const LineCounts& Counts() const { return counts_; }

 private:
  struct InFlight {
    Clock::time_point due;
    Packet packet;
  };

  std::mt19937 random_;
  std::size_t limit_;
  std::chrono::microseconds delay_{0};
  double loss_ = 0;
  bool cut_ = false;
  std::deque<InFlight> held_;
  LineCounts counts_;
};

}  // namespace vorel::wan
