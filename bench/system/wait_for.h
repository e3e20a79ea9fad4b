// Polls a condition every millisecond until it holds or the time is up.
#pragma once

#include <chrono>
#include <thread>

namespace vorel::bench {

template <class Condition>
bool WaitFor(Condition condition, std::chrono::steady_clock::duration timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace vorel::bench
