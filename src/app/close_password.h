// The close password: five decimal digits, made once at start-up from a
// clock-seeded generator, 10000 to 99998.
#pragma once

#include <cstdint>
#include <string>

namespace vorel {

// r in 0 .. 89998 gives r + 10000.
std::string ClosePasswordFromRandom(int r);

std::string MakeClosePassword(std::uint32_t seed);

}  // namespace vorel
