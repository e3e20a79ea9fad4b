// The frames an alarm station sends, byte for byte, as pure functions: the
// station simulator writes them on its line, and tests use them to know what
// the driver must have read.
//
// Main port (positions 1-based, as the receiver handler counts them):
//   1 LF | 2-3 receiver "01" | 4 line "1" | 5-8 account | 9 blank
//        | 10-11 event code | 12 CR                              (12 bytes)
//   keep-alive: LF "011" "OKAY" CR                              (9 bytes)
//   restart:    LF "011" "RSYN" CR, 'Y' at 7, '1' (not 'O') at 4 (9 bytes)
// Second port, always 15 bytes:
//   1-2 receiver "01" | 3 line "1" | 4-7 account | 8 blank | 9-10 detail
//        | 11-13 blanks | 14 LF | 15 CR
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorel::station {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kLf = 0x0A;
inline constexpr std::uint8_t kCr = 0x0D;

inline constexpr std::size_t kMainEventFrameSize = 12;
inline constexpr std::size_t kKeepAliveFrameSize = 9;
inline constexpr std::size_t kRestartFrameSize = 9;
inline constexpr std::size_t kSecondPortFrameSize = 15;

// Account numbers that a simulated run can number frames with (0001..9999).
inline constexpr int kMaxAccountNumber = 9999;

// Main-port event. `account`: exactly 4 characters, `code`: exactly 2, each a
// printable character other than the blank (letters are allowed on purpose:
// the receiver maps some and rejects others). Throws std::invalid_argument.
Bytes MainEventFrame(std::string_view account, std::string_view code);

Bytes KeepAliveFrame();
Bytes RestartFrame();

// Second-port frame. `account`: exactly 4 printable characters; `detail1`
// and `detail2` (positions 9 and 10): printable, usually hexadecimal digits.
// Throws std::invalid_argument.
Bytes SecondPortFrame(std::string_view account, char detail1, char detail2);

// An account as the frames carry it: 1 to 4 decimal digits are padded with
// leading zeros ("12" -> "0012"); any other text must be exactly 4 printable
// characters and is taken as it is ("123C", "12X4"). nullopt otherwise.
std::optional<std::string> AccountField(std::string_view text);

// Account number n (1..9999) as 4 digits: 7 -> "0007".
std::string NumberedAccount(int n);

// True for 0x21..0x7E: what an account, code or detail character may be.
bool IsFieldChar(char c);

// Text with the escapes \n \r \t \0 \\ \" \xHH (two hexadecimal digits) made
// into bytes; every other character stands for itself. On a bad escape:
// nullopt and `error` says why.
std::optional<Bytes> DecodeEscapes(std::string_view text, std::string& error);

// Hexadecimal bytes, "0a3530" or "0x0a", two digits per byte. nullopt on an
// odd digit count, a non-hexadecimal character or an empty text.
std::optional<Bytes> DecodeHex(std::string_view text);

// Bytes as lowercase hexadecimal, no separators: {0x0a, 0x35} -> "0a35".
std::string HexText(std::span<const std::uint8_t> bytes);

}  // namespace vorel::station
