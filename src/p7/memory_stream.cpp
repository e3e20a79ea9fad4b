#include "p7/memory_stream.h"

#include <algorithm>
#include <cstring>

namespace vorel {

void TMemoryStream::SetSize(std::int64_t size) {
  bytes_.resize(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)), 0);
}

std::int32_t TMemoryStream::Read(void* buffer, std::int32_t count) {
  if (count <= 0 || position_ >= Size()) return 0;
  const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, Size() - position_));
  std::memcpy(buffer, bytes_.data() + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int32_t TMemoryStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  const std::int64_t end = position_ + count;
  if (end > Size()) bytes_.resize(static_cast<std::size_t>(end), 0);
  std::memcpy(bytes_.data() + position_, buffer, static_cast<std::size_t>(count));
  position_ = end;
  return count;
}

void TMemoryStream::Clear() {
  bytes_.clear();
  position_ = 0;
}

}  // namespace vorel
