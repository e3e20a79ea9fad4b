// Line rates that termios has no constant for (14400, 56000, 128000, 256000
// and any custom rate). Linux takes them through termios2 (TCSETS2 with
// BOTHER), whose kernel header clashes with <termios.h>: the code lives in a
// file of its own and this header names no termios type.
#pragma once

#include <cstdint>
#include <optional>

namespace vorel {

// Sets input and output rate of the open terminal fd, leaving every other
// setting as it is. False with errno set when the system refuses.
bool SetArbitraryBaudRate(int fd, std::uint32_t bitsPerSecond);

struct LineSpeed {
  std::uint32_t input = 0;
  std::uint32_t output = 0;
};

// The rates the terminal fd runs at, in bits per second, as the kernel holds
// them (standard or arbitrary). Nothing when the system cannot tell.
std::optional<LineSpeed> ReadLineSpeed(int fd);

}  // namespace vorel
