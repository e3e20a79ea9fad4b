#include "version/version_numbers.h"

#include <charconv>
#include <cstddef>

namespace vorel {
namespace {

constexpr std::size_t kVersionTextLimit = 255;

// Decimal value of the whole text with an optional sign; 0 for an empty text,
// anything else than digits, or a value outside 32 bits.
std::int32_t DecimalOrZero(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return 0;
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return 0;
  return value;
}

}  // namespace

std::array<std::uint16_t, 4> VersionNumbers(std::string_view versionText) {
  std::string_view rest = versionText.substr(0, kVersionTextLimit);
  std::array<std::uint16_t, 4> numbers{};
  if (rest.find('.') == std::string_view::npos) return numbers;
  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t dot = rest.find('.');
    if (dot == std::string_view::npos) continue;  // this number is 0 and nothing is taken off
    numbers[i] = static_cast<std::uint16_t>(DecimalOrZero(rest.substr(0, dot)));
    rest.remove_prefix(dot + 1);
  }
  numbers[3] = static_cast<std::uint16_t>(DecimalOrZero(rest));
  return numbers;
}

}  // namespace vorel
