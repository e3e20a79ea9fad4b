// The four numbers of a dotted version text: the protocol-8 handshake sends
// them, and the build writes them into the executable's version block.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vorel {

// The four numbers (major, minor, release, build) of a dotted version text:
// only the first 255 characters count; a text without "." gives four zeros; a
// missing or non-numeric part gives 0; each number keeps its low 16 bits.
// "8.1.3.142" -> 8, 1, 3, 142; "1.2" -> 1, 0, 0, 2.
std::array<std::uint16_t, 4> VersionNumbers(std::string_view versionText);

}  // namespace vorel
