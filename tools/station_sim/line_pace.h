// The pace of a real serial line: at B bit/s a byte (start bit, 8 data bits,
// stop bit) takes 10 / B seconds, so a 12-byte frame at 9600 bit/s is on the
// line for 12.5 ms. The simulator and the system benchmark write a frame by
// this schedule, byte by byte, instead of all at once.
#pragma once

#include <chrono>
#include <cstddef>

namespace vorel::station {

inline constexpr int kBitsPerByte = 10;

// How long one byte takes at `baud` bit/s; zero when baud is not positive
// (no pacing: the bytes go as fast as the terminal takes them).
constexpr std::chrono::nanoseconds ByteTime(int baud) {
  return baud > 0 ? std::chrono::nanoseconds(1'000'000'000LL * kBitsPerByte / baud) : std::chrono::nanoseconds(0);
}

// How many of `total` bytes a line at `baud` bit/s has delivered `elapsed`
// after it began sending them: a byte is there once its last bit is, one
// byte time after the one before.
constexpr std::size_t BytesDue(std::chrono::nanoseconds elapsed, int baud, std::size_t total) {
  const auto step = ByteTime(baud);
  if (step.count() == 0 || total == 0) return total;
  if (elapsed.count() < 0) return 0;
  const auto due = static_cast<std::size_t>(elapsed / step);
  return due < total ? due : total;
}

}  // namespace vorel::station
