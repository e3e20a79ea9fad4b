// The part of libFuzzer's FuzzedDataProvider that the targets use. g++ has no
// such header; this one takes the bytes exactly as libFuzzer's does (numbers
// off the end of the input, strings off the front), so a kept input makes the
// same case whichever compiler built the target.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>

namespace vorel::fuzz {

class FuzzedDataProvider {
 public:
  FuzzedDataProvider(const std::uint8_t* data, std::size_t size) : data_(data), remaining_(size) {}

  std::size_t remaining_bytes() const { return remaining_; }

  // A number in [min, max] from as many bytes off the end as the range needs;
  // min once the input is used up.
  template <class T>
  T ConsumeIntegralInRange(T min, T max) {
    static_assert(std::is_integral_v<T> && sizeof(T) <= sizeof(std::uint64_t));
    if (min > max) std::abort();
    const std::uint64_t range = static_cast<std::uint64_t>(max) - min;
    std::uint64_t result = 0;
    for (std::size_t offset = 0; offset < sizeof(T) * CHAR_BIT && (range >> offset) > 0 && remaining_ != 0;
         offset += CHAR_BIT) {
      --remaining_;
      result = (result << CHAR_BIT) | data_[remaining_];
    }
    if (range != std::numeric_limits<std::uint64_t>::max()) result %= range + 1;
    return static_cast<T>(min + result);
  }

  template <class T>
  T ConsumeIntegral() {
    return ConsumeIntegralInRange(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
  }

  bool ConsumeBool() { return 1 & ConsumeIntegral<std::uint8_t>(); }

  // Up to maxLength bytes off the front. "\\" stands for one backslash; a
  // backslash before anything else ends the string (both bytes are taken).
  std::string ConsumeRandomLengthString(std::size_t maxLength) {
    std::string result;
    for (std::size_t i = 0; i < maxLength && remaining_ != 0; ++i) {
      char next = Take();
      if (next == '\\' && remaining_ != 0) {
        next = Take();
        if (next != '\\') break;
      }
      result += next;
    }
    return result;
  }

 private:
  char Take() {
    const char c = static_cast<char>(*data_);
    ++data_;
    --remaining_;
    return c;
  }

  const std::uint8_t* data_;
  std::size_t remaining_;
};

}  // namespace vorel::fuzz
