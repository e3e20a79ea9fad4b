// What the command line asks for. Anything the driver does not know starts
// nothing: a mistyped option must not run a driver in the current directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorel {

struct CommandLine {
  enum class Action { Run, Help, Version, Status, Misuse };
  Action action = Action::Run;
  std::optional<std::string> statusTarget;  // --status DIR | NAME; none: the default
  std::string error;         // with Misuse: what was wrong, for standard error
};

// The arguments after the program's name.
CommandLine ParseCommandLine(const std::vector<std::string_view>& args);

// "Usage: vorel [--help | --version | --status [DIR | NAME]]"
extern const char* const kUsageLine;

}  // namespace vorel
