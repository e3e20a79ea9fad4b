// The simulator's report: one line per happening, "t=<ms since start> what
// key=value ...", flushed at once so that a test or a script can follow it
// while the simulator runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace vorel::station {

class Report {
 public:
  explicit Report(std::FILE* out);
  // Milliseconds since the report was made (the simulator's start).
  long Now() const;
  void Line(const std::string& text);

 private:
  std::FILE* out_;
  std::chrono::steady_clock::time_point start_;
};

// What the driver wrote back: every ACK byte counted and reported on its own,
// every run of other bytes reported as one line with its bytes.
class RxTally {
 public:
  // The report lines (without time) for `bytes`, received in one read.
  std::vector<std::string> Feed(std::span<const std::uint8_t> bytes);
  long Acks() const { return acks_; }
  long Other() const { return other_; }

 private:
  long acks_ = 0;
  long other_ = 0;
};

}  // namespace vorel::station
