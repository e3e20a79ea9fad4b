// The command language of the protocol-7 reference server. The same action
// words serve standard input and the timed rules given with -e:
//   setclock now | setclock YYYY-MM-DD HH:MM:SS[.mmm]   send ftSetClock
//   close                                               send ftClose
//   disconnect                                          drop the connection
// Timed rules, applied to every connection:
//   after-connect MS ACTION     MS milliseconds after the connection came up
//   after-frames N ACTION       once the connection has delivered N frames
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/datetime.h"

namespace vorel::p7server {

enum class ActionKind { SetClock, Close, Disconnect };

struct Action {
  ActionKind kind = ActionKind::Close;
  std::optional<TDateTime> clock;  // SetClock: the date-time to send; nullopt = the local time when sent
};

enum class Trigger { AfterConnect, AfterFrames };

struct TimedAction {
  Trigger trigger = Trigger::AfterConnect;
  std::int64_t amount = 0;  // milliseconds or frames
  Action action;
};

// An action, or the reason it is not one.
std::variant<Action, std::string> ParseAction(std::string_view text);
std::variant<TimedAction, std::string> ParseTimedAction(std::string_view text);

}  // namespace vorel::p7server
