#include "p8/payloads.h"

#include <charconv>

#include "base/cp1251.h"

namespace vorel {
namespace {

constexpr std::size_t kVersionTextLimit = 255;

void PutPortStatus(Bytes& out, std::size_t offset, const PortStatus& port) {
  // The 8-bit name is cut, never the UTF-8 one: a Cyrillic letter is one byte on the wire.
  const std::string name = Utf8ToCp1251(port.name);
  PutShortString(out, offset, kPortStatusNameCapacity, name);
  out[offset + 1 + kPortStatusNameCapacity] = port.open ? 1 : 0;
}

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

Bytes HelloPayload() { return Bytes{0x13, 0x00}; }

Bytes PortStatusPayload(const PortStatus& mainPort, const PortStatus& secondPort) {
  Bytes out(kPortStatusSize, 0);
  PutPortStatus(out, 0, mainPort);
  PutPortStatus(out, 8, secondPort);
  return out;
}

Bytes FirstNumberPayload(int firstNumber) { return Bytes{static_cast<std::uint8_t>(firstNumber & 0xFF)}; }

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

Bytes VersionPayload(std::string_view versionText) {
  const auto numbers = VersionNumbers(versionText);
  Bytes out(kVersionPayloadSize);
  for (std::size_t i = 0; i < numbers.size(); ++i) PutLE<std::uint16_t>(out, 2 * i, numbers[i]);
  return out;
}

}  // namespace vorel
