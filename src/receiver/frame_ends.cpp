#include "receiver/frame_ends.h"

#include <algorithm>

#include "receiver/frame_handlers.h"
#include "receiver/second_port_handler.h"

namespace vorel {

bool EndsWithMainFrame(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 2 || bytes.back() != kCR) return false;
  const auto before = bytes.first(bytes.size() - 1);
  return std::find(before.begin(), before.end(), kLF) != before.end();
}

bool EndsWithSecondFrames(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() % kSecondFrameSize != 0) return false;
  for (std::size_t end = kSecondFrameSize; end <= bytes.size(); end += kSecondFrameSize) {
    if (bytes[end - 2] != kLF || bytes[end - 1] != kCR) return false;
  }
  return true;
}

}  // namespace vorel
