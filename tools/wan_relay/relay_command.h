// The relay's commands, one a line on its standard input, so a test can
// change the link while traffic runs:
//   delay MS       one-way delay of both directions, in milliseconds
//   loss PERCENT   share of packets dropped at random, 0 … 100 (decimals allowed)
//   cut            drop everything, both ways, until restore
//   restore        end the cut
//   stats          print the counts so far
#pragma once

#include <optional>
#include <string>

namespace vorel::wan {

struct RelayCommand {
  enum class Kind { Delay, Loss, Cut, Restore, Stats };
  Kind kind;
  double value = 0;  // milliseconds for Delay, percent for Loss
};

// nullopt, with the reason in `error`, for a line that is not a command.
std::optional<RelayCommand> ParseRelayCommand(const std::string& line, std::string& error);

}  // namespace vorel::wan
