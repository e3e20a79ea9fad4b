// Only kernel headers here: <asm/termbits.h> defines its own struct termios.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "serial/arbitrary_baud.h"

namespace vorel {

bool SetArbitraryBaudRate(int fd, std::uint32_t bitsPerSecond) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ospeed = bitsPerSecond;
  t.c_ispeed = bitsPerSecond;
  return ioctl(fd, TCSETS2, &t) == 0;
}

std::optional<LineSpeed> ReadLineSpeed(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return std::nullopt;
  return LineSpeed{t.c_ispeed, t.c_ospeed};
}

}  // namespace vorel
