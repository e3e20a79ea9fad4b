// A scheduler for tests: tasks wait until the test runs them, in the order
// they are due; their delays are recorded.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "base/scheduler.h"

namespace vorel::test {

class FakeScheduler final : public IScheduler {
 public:
  void After(std::uint32_t milliseconds, std::function<void()> task) override {
    delays.push_back(milliseconds);
    tasks_.emplace(now_ + milliseconds, std::move(task));
  }
  // Runs every task due within `milliseconds` from now, in order (those
  // they schedule in turn included), and moves the time on.
  void Advance(std::uint32_t milliseconds) {
    const std::uint64_t until = now_ + milliseconds;
    while (!tasks_.empty() && tasks_.begin()->first <= until) {
      auto next = tasks_.extract(tasks_.begin());
      now_ = next.key();
      next.mapped()();
    }
    now_ = until;
  }
  std::size_t Waiting() const { return tasks_.size(); }

  std::vector<std::uint32_t> delays;

 private:
  std::uint64_t now_ = 0;
  std::multimap<std::uint64_t, std::function<void()>> tasks_;
};

}  // namespace vorel::test
