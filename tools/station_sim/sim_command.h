// The simulator's command language: one command per line or per argument,
// ';' between commands, '#' to the end of the line is a comment, double
// quotes keep blanks together, a backslash keeps the next character (the
// `text` command turns escapes into bytes). The syntax is listed in the
// tool's --help (station_sim_main.cpp).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station_frames.h"

namespace vorel::station {

// Bytes written to the line in one write, and how the report names them.
struct Outgoing {
  Bytes bytes;
  std::string description;  // e.g. "event account=5011 code=E1"
};

enum class CommandKind {
  Send,         // frames, one write each, `interval` apart
  Wait,         // `duration`, still counting what comes back
  ExpectAck,    // ACK total reaches `count` (or `count` more) within `duration`
  ExpectNoAck,  // no new ACK for `duration`
  WaitOpen,     // the driver opens the line, within `duration`
  WaitClose,    // the driver lets the line go, within `duration`
  Close,        // unplug: close the line, remove the published name
  Reopen,       // plug in again: a new line under the same name
  Hold,         // keep counting until a signal
};

struct Command {
  CommandKind kind = CommandKind::Wait;
  std::vector<Outgoing> frames;
  std::chrono::milliseconds interval{0};
  std::chrono::milliseconds duration{0};
  long count = 0;
  bool relative = false;  // expect-ack +N
  // Send: each frame is written again every `resend` until its ACK comes
  // back, and the next one waits for that ACK (zero: no waiting).
  std::chrono::milliseconds resend{0};
};

// A real station sends an event again when no ACK came back within 5 s.
inline constexpr std::chrono::milliseconds kStationResend{5000};

inline constexpr std::chrono::milliseconds kDefaultAckTimeout{3000};
// Long enough for the driver's restart: it closes the line and opens it 5 s later.
inline constexpr std::chrono::milliseconds kDefaultOpenTimeout{10000};
inline constexpr long kMaxMilliseconds = 86'400'000;  // a day
inline constexpr long kMaxExpectedAcks = 1'000'000;

struct ParsedCommand {
  std::optional<Command> command;  // nullopt: empty text, or an error
  std::string error;               // set when the text is not a command
};

// One command (no ';', no comment). Blank text gives no command and no error.
ParsedCommand ParseCommand(std::string_view text);

// The commands of one line or argument, split at ';' and with the comment cut
// off (both only outside quotes), blank pieces dropped.
std::vector<std::string> SplitCommands(std::string_view line);

// Words of a command; quotes removed, backslash pairs kept as they are.
// nullopt with `error` on an unterminated quote.
std::optional<std::vector<std::string>> Tokenize(std::string_view text, std::string& error);

}  // namespace vorel::station
