// TMemoryStream: a growable block of bytes with a read/write position, the
// container in which frames travel to and from the socket client. The position
// may stand beyond the end: reading there gives nothing, writing there fills
// the gap with zero bytes first.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace vorel {

class TMemoryStream {
 public:
  TMemoryStream() = default;
  // A stream holding the bytes, positioned at its start.
  explicit TMemoryStream(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  std::int64_t Size() const { return static_cast<std::int64_t>(bytes_.size()); }
  // Cuts or extends with zero bytes; the position is kept (it may end up beyond the end).
  void SetSize(std::int64_t size);
  std::int64_t Position() const { return position_; }
  // A negative position is taken as 0.
  void SetPosition(std::int64_t position) { position_ = position < 0 ? 0 : position; }

  // Copies up to count bytes from the position on and advances past them;
  // returns how many were copied (0 at or beyond the end, or for count <= 0).
  std::int32_t Read(void* buffer, std::int32_t count);
  // Writes count bytes at the position, growing the stream as needed, and
  // advances past them; returns count (0 for count <= 0).
  std::int32_t Write(const void* buffer, std::int32_t count);

  // Empties the stream and sets the position to 0.
  void Clear();

  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
  const std::uint8_t* Memory() const { return bytes_.data(); }

 private:
  std::vector<std::uint8_t> bytes_;
  std::int64_t position_ = 0;
};

}  // namespace vorel
