// Systems without an arbitrary-rate interface wired up: only the rates termios
// names can be used.
#include <cerrno>

#include "serial/arbitrary_baud.h"

namespace vorel {

bool SetArbitraryBaudRate(int, std::uint32_t) {
  errno = ENOTSUP;
  return false;
}

std::optional<LineSpeed> ReadLineSpeed(int) { return std::nullopt; }

}  // namespace vorel
