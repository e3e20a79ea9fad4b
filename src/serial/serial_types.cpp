#include "serial/serial_types.h"

#include <array>

namespace vorel {
namespace {

// Bits per second by TBaudRate ordinal; brCustom has no number of its own.
constexpr std::array<std::uint32_t, 16> kRates = {
    0, 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000,
};

}  // namespace

std::uint32_t BaudRateNumber(TBaudRate rate) {
  const auto index = static_cast<std::size_t>(rate);
  return index < kRates.size() ? kRates[index] : 0;
}

std::optional<TBaudRate> BaudRateFromNumber(std::uint32_t bitsPerSecond) {
  if (bitsPerSecond == 0) return std::nullopt;
  for (std::size_t i = 1; i < kRates.size(); ++i) {
    if (kRates[i] == bitsPerSecond) return static_cast<TBaudRate>(i);
  }
  return std::nullopt;
}

}  // namespace vorel
