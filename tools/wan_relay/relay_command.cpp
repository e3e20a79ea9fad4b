#include "relay_command.h"

#include <cmath>
#include <sstream>

namespace vorel::wan {

std::optional<RelayCommand> ParseRelayCommand(const std::string& line, std::string& error) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  const auto number = [&](double low, double high, RelayCommand::Kind kind) -> std::optional<RelayCommand> {
    double value = 0;
    std::string rest;
    if (!(in >> value) || (in >> rest) || !std::isfinite(value) || value < low || value > high) {
      error = word + " takes a number from " + std::to_string(static_cast<int>(low)) + " to " +
              std::to_string(static_cast<int>(high));
      return std::nullopt;
    }
    return RelayCommand{kind, value};
  };
  const auto alone = [&](RelayCommand::Kind kind) -> std::optional<RelayCommand> {
    std::string rest;
    if (in >> rest) {
      error = word + " takes nothing after it";
      return std::nullopt;
    }
    return RelayCommand{kind, 0};
  };
  if (word == "delay") return number(0, 60000, RelayCommand::Kind::Delay);
  if (word == "loss") return number(0, 100, RelayCommand::Kind::Loss);
  if (word == "cut") return alone(RelayCommand::Kind::Cut);
  if (word == "restore") return alone(RelayCommand::Kind::Restore);
  if (word == "stats") return alone(RelayCommand::Kind::Stats);
  error = word.empty() ? "empty command" : "unknown command: " + word;
  return std::nullopt;
}

}  // namespace vorel::wan
