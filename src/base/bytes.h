// Packed little-endian byte layouts: every number in frames, records and spool
// files is written and read through these, whatever the host's byte order.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vorel {

using Bytes = std::vector<std::uint8_t>;

namespace detail {
inline void CheckRange(std::size_t size, std::size_t offset, std::size_t width) {
  if (offset > size || width > size - offset) throw std::out_of_range("byte layout: field outside the buffer");
}

// The unsigned integer that carries the bits of a field; picked lazily, since
// std::make_unsigned of a double does not exist.
template <class T>
struct LayoutBits : std::make_unsigned<T> {};
template <>
struct LayoutBits<double> {
  using type = std::uint64_t;
};
}  // namespace detail

template <class T>
concept LayoutScalar = (std::integral<T> && !std::same_as<T, bool>) || std::same_as<T, double>;

// Writes value at offset, least significant byte first.
template <LayoutScalar T>
void PutLE(std::span<std::uint8_t> out, std::size_t offset, T value) {
  detail::CheckRange(out.size(), offset, sizeof(T));
  using U = typename detail::LayoutBits<T>::type;
  U bits = std::bit_cast<U>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out[offset + i] = static_cast<std::uint8_t>(bits & 0xFF);
    if constexpr (sizeof(T) > 1) bits = static_cast<U>(bits >> 8);
  }
}

template <LayoutScalar T>
T GetLE(std::span<const std::uint8_t> in, std::size_t offset) {
  detail::CheckRange(in.size(), offset, sizeof(T));
  using U = typename detail::LayoutBits<T>::type;
  U bits = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) {
    if constexpr (sizeof(T) > 1) bits = static_cast<U>(bits << 8);
    bits = static_cast<U>(bits | in[offset + i]);
  }
  return std::bit_cast<T>(bits);
}

// A length-prefixed text field of the given capacity takes capacity + 1 bytes:
// the length byte, then the characters. Longer texts are cut to the capacity;
// the bytes after the last character are left as they are.
inline void PutShortString(std::span<std::uint8_t> out, std::size_t offset, std::size_t capacity,
                           std::string_view chars) {
  if (capacity > 255) throw std::invalid_argument("byte layout: text capacity above 255");
  detail::CheckRange(out.size(), offset, capacity + 1);
  const std::size_t n = std::min(chars.size(), capacity);
  out[offset] = static_cast<std::uint8_t>(n);
  std::copy_n(reinterpret_cast<const std::uint8_t*>(chars.data()), n, out.begin() + offset + 1);
}

// Reads a length-prefixed text field; a length byte above the capacity is
// taken as the capacity.
inline std::string GetShortString(std::span<const std::uint8_t> in, std::size_t offset, std::size_t capacity) {
  detail::CheckRange(in.size(), offset, capacity + 1);
  const std::size_t n = std::min<std::size_t>(in[offset], capacity);
  return std::string(reinterpret_cast<const char*>(in.data() + offset + 1), n);
}

}  // namespace vorel
