#include "sim_report.h"

#include "station_frames.h"

namespace vorel::station {

Report::Report(std::FILE* out) : out_(out), start_(std::chrono::steady_clock::now()) {}

long Report::Now() const {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count());
}

void Report::Line(const std::string& text) {
  // A reader that went away (a closed pipe) must not end the run: the
  // published line still has to be taken down.
  std::fprintf(out_, "t=%ld %s\n", Now(), text.c_str());
  std::fflush(out_);
}

std::vector<std::string> RxTally::Feed(std::span<const std::uint8_t> bytes) {
  std::vector<std::string> lines;
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (bytes[i] == kAck) {
      ++acks_;
      lines.push_back("ack total=" + std::to_string(acks_));
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < bytes.size() && bytes[end] != kAck) ++end;
    const auto run = bytes.subspan(i, end - i);
    other_ += static_cast<long>(run.size());
    lines.push_back("rx bytes=" + std::to_string(run.size()) + " hex=" + HexText(run) +
                    " other=" + std::to_string(other_));
    i = end;
  }
  return lines;
}

}  // namespace vorel::station
