// Whether the bytes of a packet gathered so far end with whole frames: the
// test by which a port may cut a packet as soon as the station's frame is
// complete instead of 200 ms after its first byte.
#pragma once

#include <cstdint>
#include <span>

namespace vorel {

// Main port: the bytes end with CR and an LF came before it (LF ... CR), so
// the last frame is whole. Noise before that frame changes nothing: the
// frame handler sees such a packet as it would any other.
bool EndsWithMainFrame(std::span<const std::uint8_t> bytes);

// Second port: the bytes are whole 15-byte frames, each ending in LF CR. A
// packet that started inside a frame never qualifies and waits for the
// time-out, which brings the stream back in step.
bool EndsWithSecondFrames(std::span<const std::uint8_t> bytes);

}  // namespace vorel
