#include "receiver/frame_handlers.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "base/bytes.h"

namespace vorel {

void FrameBuffer::Load(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > bytes_.size()) bytes_.resize(bytes.size(), 0);
  std::copy(bytes.begin(), bytes.end(), bytes_.begin());
}

std::uint8_t FrameBuffer::At(std::size_t position) const {
  if (position == 0) throw std::out_of_range("frame buffer: position 0");
  return bytes_.at(position - 1);
}

void FrameBuffer::Set(std::size_t position, std::uint8_t value) {
  if (position == 0) throw std::out_of_range("frame buffer: position 0");
  bytes_.at(position - 1) = value;
}

bool FrameBuffer::Holds(std::size_t position, std::string_view text) const {
  for (std::size_t i = 0; i < text.size(); ++i)
    if (At(position + i) != static_cast<std::uint8_t>(text[i])) return false;
  return true;
}

bool FrameBuffer::AllDigits(std::size_t first, std::size_t last) const {
  for (std::size_t p = first; p <= last; ++p)
    if (At(p) < '0' || At(p) > '9') return false;
  return true;
}

std::uint32_t FrameBuffer::DecimalValue(std::size_t first, std::size_t last) const {
  std::uint32_t value = 0;
  for (std::size_t p = first; p <= last; ++p) value = value * 10u + static_cast<std::uint32_t>(At(p) - '0');
  return value;
}

void AppendTrafficLog(const std::filesystem::path& file, std::span<const std::uint8_t> bytes) {
  std::FILE* out = std::fopen(file.c_str(), "ab");
  if (!out) {
    const int error = errno;
    throw std::runtime_error("Cannot open file \"" + file.string() + "\". " + std::strerror(error));
  }
  const std::size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), out);
  const int writeError = written == bytes.size() ? 0 : errno;
  // fclose flushes: a full disk may only show here.
  const bool closed = std::fclose(out) == 0;
  const int closeError = closed ? 0 : errno;
  if (written != bytes.size() || !closed) {
    const int error = writeError ? writeError : closeError;
    throw std::runtime_error("Cannot write to file \"" + file.string() + "\"" +
                             (error ? std::string(". ") + std::strerror(error) : std::string()));
  }
}

std::int32_t AccountNumber(std::int32_t firstNumber, std::uint32_t digits) {
  // Unsigned arithmetic wraps by definition; the conversion back to a signed
  // 32-bit value is modular since C++20.
  const std::uint32_t sum = static_cast<std::uint32_t>(firstNumber) * 10000u + digits;
  return static_cast<std::int32_t>(sum);
}

void StartEventRecord(EventRecord& record) {
  using namespace event_record;
  record[kKind] = 3;
  PutLE<std::uint32_t>(record, kBytes36, 0);
  PutLE<std::int32_t>(record, kAccount, 0);
}

void PutFixedEventBytes(EventRecord& record) {
  using namespace event_record;
  PutShortString(record, kText17, 5, "8");
  PutShortString(record, kText23, 3, "000");
  record[kByte35] = 0;
  PutLE<std::int32_t>(record, kReserved6, 0);
}

}  // namespace vorel
