#include "p7_commands.h"

#include <charconv>

#include "p7_frame_text.h"

namespace vorel::p7server {
namespace {

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// The first word and the trimmed rest.
std::pair<std::string_view, std::string_view> SplitWord(std::string_view text) {
  text = Trim(text);
  const auto blank = text.find_first_of(" \t");
  if (blank == std::string_view::npos) return {text, {}};
  return {text.substr(0, blank), Trim(text.substr(blank))};
}

}  // namespace

std::variant<Action, std::string> ParseAction(std::string_view text) {
  const auto [word, rest] = SplitWord(text);
  if (word == "close" || word == "disconnect") {
    if (!rest.empty()) return "unexpected text after " + std::string(word) + ": " + std::string(rest);
    return Action{word == "close" ? ActionKind::Close : ActionKind::Disconnect, std::nullopt};
  }
  if (word == "setclock") {
    if (rest == "now") return Action{ActionKind::SetClock, std::nullopt};
    const auto clock = ParseDateTime(rest);
    if (!clock) return "setclock needs now or YYYY-MM-DD HH:MM:SS[.mmm], got: " + std::string(rest);
    return Action{ActionKind::SetClock, clock};
  }
  if (word.empty()) return std::string("empty command");
  return "unknown command: " + std::string(word);
}

std::variant<TimedAction, std::string> ParseTimedAction(std::string_view text) {
  const auto [when, afterWhen] = SplitWord(text);
  TimedAction timed;
  if (when == "after-connect") {
    timed.trigger = Trigger::AfterConnect;
  } else if (when == "after-frames") {
    timed.trigger = Trigger::AfterFrames;
  } else {
    return "a rule starts with after-connect MS or after-frames N, got: " + std::string(text);
  }
  const auto [amount, actionText] = SplitWord(afterWhen);
  const auto [end, error] = std::from_chars(amount.data(), amount.data() + amount.size(), timed.amount);
  if (amount.empty() || error != std::errc() || end != amount.data() + amount.size() || timed.amount < 0)
    return std::string(when) + " needs a whole number >= 0, got: " + std::string(amount);
  auto action = ParseAction(actionText);
  if (auto* problem = std::get_if<std::string>(&action)) return *problem;
  timed.action = std::get<Action>(action);
  return timed;
}

}  // namespace vorel::p7server
