// The protocol-7 frame: the one unit exchanged with the message server, in
// both directions, and the whole content of a .ddm spool file. Every frame is
// 555 bytes: the marker 0xFF 0xFF, a type byte and a 552-byte payload. There
// is no length, checksum or sequence number. Each builder starts from a fresh
// block of zeros and sets only the bytes its type defines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "base/datetime.h"

namespace vorel::p7 {

inline constexpr std::size_t kFrameSize = 555;
inline constexpr std::size_t kPayloadOffset = 3;  // frame offset of payload byte 0
inline constexpr std::size_t kPayloadSize = kFrameSize - kPayloadOffset;  // 552
inline constexpr std::uint8_t kMarkerByte = 0xFF;  // frame bytes 0 and 1
inline constexpr std::size_t kTypeOffset = 2;

// Payload offsets of the fields the driver reads or writes.
inline constexpr std::size_t kLinkPortTagOffset = 2;  // ftStationLost/Restored: signed 32-bit
inline constexpr std::size_t kDateTimeOffset = 27;    // ftSetClock: TDateTime; ftEvent: event time

inline constexpr std::uint8_t kHelloValue = 31;

// Value of the type byte.
enum FrameType : std::uint8_t {
  ftSetClock = 4,          // server to driver: set the local clock
  ftClose = 17,            // server to driver: close without the password
  ftHello = 20,            // first frame of every connection
  ftEvent = 21,            // one station event; payload = the event record
  ftPortNumber = 50,       // '2': the main port's COM number
  ftStationLost = 72,      // 'H'
  ftStationRestored = 73,  // 'I'
};

using Frame = std::array<std::uint8_t, kFrameSize>;

// Marker and type byte, every payload byte zero.
Frame BuildFrame(std::uint8_t type);

// Payload byte 0 = 31.
Frame BuildHelloFrame();

// The 552-byte event record as the payload. Throws std::invalid_argument when
// the record is not exactly 552 bytes, rather than sending a cut or padded one.
Frame BuildEventFrame(std::span<const std::uint8_t> eventRecord);

// Payload byte 0 = the low 8 bits of the COM number (COM300 gives 44).
Frame BuildPortNumberFrame(int comNumber);

// Payload offsets 2..5 = the port tag (31 main port, 32 second port).
Frame BuildStationLostFrame(std::int32_t portTag);
Frame BuildStationRestoredFrame(std::int32_t portTag);

// Payload offsets 27..34 = the new local date-time. The driver never sends
// this; the reference server and the tests do.
Frame BuildSetClockFrame(TDateTime localDateTime);

Frame BuildCloseFrame();

// The COM number of a device name such as "\\.\COM12": the text after its
// first seven characters (the prefix "\\.\" and the letters COM, whatever they
// are), read as a decimal number. Only the digits 0-9 are taken, no sign, no
// blanks, no hexadecimal. nullopt when that text is empty, holds anything but
// digits or exceeds a 32-bit integer - unless the name is a device path
// ("\\.\/dev/ttyUSB0"), whose trailing decimal digits give the number. A
// path without trailing digits gives nullopt too; the caller reports that as
// an error, since there is no number to send.
std::optional<int> ComPortNumber(std::string_view deviceName);

// The fields of a frame that tools and tests look at. Which of them mean
// something depends on the type; the decoder reads them all regardless.
struct FrameFields {
  std::uint8_t type = 0;
  std::uint8_t firstPayloadByte = 0;  // ftHello: 31; ftPortNumber: COM number
  std::int32_t linkPortTag = 0;       // payload 2..5: ftStationLost/Restored
  TDateTime dateTime = 0;             // payload 27..34: ftSetClock, and ftEvent's event time
};

// nullopt unless the bytes are exactly one frame beginning with 0xFF 0xFF.
std::optional<FrameFields> DecodeFrame(std::span<const std::uint8_t> frame);

}  // namespace vorel::p7
