// Protocol-8 record types. The direction is that of the frame; the driver is
// this program. Answers of a type not listed here have no effect of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vorel {

inline constexpr std::int32_t rtPoll = 0x02000000;            // both ways: idle poll and its answer
inline constexpr std::int32_t rtHello = 0x02000001;           // driver: first handshake record
inline constexpr std::int32_t rtAccept = 0x02000003;          // server: idle polling may start
inline constexpr std::int32_t rtPing = 0x02000004;            // server: asks for an rtPingReply
inline constexpr std::int32_t rtAccessDenied = 0x02000005;    // server: no further connection attempts
inline constexpr std::int32_t rtDisconnect = 0x02FFFFFD;      // server: link down, next attempt in 5 s
inline constexpr std::int32_t rtClose = 0x02FFFFFE;           // server: close the connection
inline constexpr std::int32_t rtPingReply = 0x02FFFFFF;       // driver: answer to rtPing, empty
inline constexpr std::int32_t rtVersion = 0x02200063;         // driver: the program's file version
inline constexpr std::int32_t rtPortStatus = 0x02200064;      // driver: names and open states of both ports
inline constexpr std::int32_t rtFirstNumber = 0x02200065;     // driver: low byte of FirstNumber
inline constexpr std::int32_t rtEventMain = 0x03000018;       // driver: event of the main port
inline constexpr std::int32_t rtEventMainAck = 0x03000019;    // server: the main slot's spool file may go
inline constexpr std::int32_t rtEventSecond = 0x0300001A;     // driver: event of the second port
inline constexpr std::int32_t rtEventSecondAck = 0x0300001B;  // server: the second slot's spool file may go

// "rtPoll" for rtPoll and so on; empty for a type without a name.
std::string_view RecordTypeName(std::int32_t recordType);

// The type of a name as RecordTypeName gives it (exact spelling).
std::optional<std::int32_t> RecordTypeByName(std::string_view name);

}  // namespace vorel
