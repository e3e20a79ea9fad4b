#include "p8/payloads.h"

#include "base/cp1251.h"
#include "version/version_numbers.h"

namespace vorel {
namespace {

void PutPortStatus(Bytes& out, std::size_t offset, const PortStatus& port) {
  // The 8-bit name is cut, never the UTF-8 one: a Cyrillic letter is one byte on the wire.
  const std::string name = Utf8ToCp1251(port.name);
  PutShortString(out, offset, kPortStatusNameCapacity, name);
  out[offset + 1 + kPortStatusNameCapacity] = port.open ? 1 : 0;
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

Bytes VersionPayload(std::string_view versionText) {
  const auto numbers = VersionNumbers(versionText);
  Bytes out(kVersionPayloadSize);
  for (std::size_t i = 0; i < numbers.size(); ++i) PutLE<std::uint16_t>(out, 2 * i, numbers[i]);
  return out;
}

}  // namespace vorel
