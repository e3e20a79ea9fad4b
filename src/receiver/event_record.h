// The event as it leaves the driver: the 552-byte event record (the payload of
// an ftEvent frame) and the protocol-8 event payloads, 17 bytes for the main
// port and 14 for the second port. Offsets and widths are fixed by the
// monitoring software that reads them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorel {

inline constexpr std::size_t kEventRecordSize = 552;
inline constexpr std::size_t kMainEventPayloadSize = 17;
inline constexpr std::size_t kSecondEventPayloadSize = 14;

// Built afresh, all zero, for every frame; the handlers set the bytes the
// layout defines.
using EventRecord = std::array<std::uint8_t, kEventRecordSize>;
using MainEventPayload = std::array<std::uint8_t, kMainEventPayloadSize>;
using SecondEventPayload = std::array<std::uint8_t, kSecondEventPayloadSize>;

// Offsets into the event record.
namespace event_record {
inline constexpr std::size_t kKind = 0;          // 3
inline constexpr std::size_t kPortTag = 1;       // 31 main, 32 second
inline constexpr std::size_t kAccount = 2;       // int32
inline constexpr std::size_t kReserved6 = 6;     // int32 0
inline constexpr std::size_t kEventCode = 10;    // text, capacity 4
inline constexpr std::size_t kDetail1 = 15;
inline constexpr std::size_t kDetail2 = 16;
inline constexpr std::size_t kText17 = 17;       // text, capacity 5: "8"
inline constexpr std::size_t kText23 = 23;       // text, capacity 3: "000"
inline constexpr std::size_t kReceived = 27;     // date-time
inline constexpr std::size_t kByte35 = 35;
inline constexpr std::size_t kBytes36 = 36;      // four bytes 0
inline constexpr std::size_t kText40 = 40;       // text, capacity 255, empty (main port)
inline constexpr std::size_t kText296 = 296;     // text, capacity 255, empty (main port)
}  // namespace event_record

}  // namespace vorel
