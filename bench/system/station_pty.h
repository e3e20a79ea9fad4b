// A pseudo-terminal the benchmark drives as the station. It keeps the slave
// open itself (raw) so that the line survives the driver's open and close,
// and tells from the driver's flock (in /proc/locks) when it has the port open.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorel::bench {

class StationPty {
 public:
  StationPty();
  ~StationPty();
  StationPty(const StationPty&) = delete;
  StationPty& operator=(const StationPty&) = delete;

  bool Ok() const { return master_ >= 0 && slave_ >= 0; }
  const std::string& SlavePath() const { return slavePath_; }
  // The driver has opened the port (it holds its flock).
  bool OpenedByDriver() const;
  // Writes every byte; false when the line stayed full for a second. With a
  // baud rate, byte by byte at the pace of a line of that rate.
  bool Write(const std::vector<std::uint8_t>& bytes, int baud = 0);
  // Reads and forgets what the driver wrote (its ACK bytes); the count.
  std::size_t Drain();
  // Reads what the driver writes until an ACK byte (0x06) comes; the moment
  // it was read, or nullopt when none came within the time-out.
  std::optional<std::chrono::steady_clock::time_point> WaitForAck(std::chrono::milliseconds timeout);

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace vorel::bench
