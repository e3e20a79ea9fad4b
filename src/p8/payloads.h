// Payloads of the records the driver sends in its handshake and on a port
// start or stop. Event payloads are built with the event records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace vorel {

inline constexpr std::size_t kPortStatusSize = 16;
inline constexpr std::size_t kPortStatusNameCapacity = 6;  // "COM255" fits exactly
inline constexpr std::size_t kVersionPayloadSize = 8;

// A serial port as the server sees it: its current name (UTF-8 in memory)
// and whether it is open.
struct PortStatus {
  std::string name;
  bool open = false;
  bool operator==(const PortStatus&) const = default;
};

// rtHello: 0x13 0x00.
Bytes HelloPayload();

// rtPortStatus, 16 bytes: for the main port then the second port, a length
// byte, the name in Windows-1251 cut to its first six bytes, zeros after the
// name up to the 7-byte field's end, then 1 when the port is open, else 0.
Bytes PortStatusPayload(const PortStatus& mainPort, const PortStatus& secondPort);

// rtFirstNumber: the low 8 bits of the configured first number.
Bytes FirstNumberPayload(int firstNumber);

// rtVersion: the four numbers of VersionNumbers as unsigned 16-bit little-endian values.
Bytes VersionPayload(std::string_view versionText);

}  // namespace vorel
