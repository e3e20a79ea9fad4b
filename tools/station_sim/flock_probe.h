// Whether some process holds a flock on a file, seen from outside: the
// driver flocks every port it opens, and the station simulator and the
// system benchmark tell by it that the driver holds their line.
#pragma once

#include <optional>

namespace vorel::station {

// Whether /proc/locks lists a flock on the file of `fd`; nullopt when that
// cannot be told. Looking does not take the lock, so it never races the
// driver's own open.
std::optional<bool> FlockHeld(int fd);

}  // namespace vorel::station
