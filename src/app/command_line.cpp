#include "app/command_line.h"

namespace vorel {

const char* const kUsageLine = "Usage: vorel [--help | --version | --status [DIR | NAME]]";

CommandLine ParseCommandLine(const std::vector<std::string_view>& args) {
  CommandLine line;
  if (args.empty()) return line;
  const std::string_view first = args.front();
  std::size_t allowed = 1;
  if (first == "--help") {
    line.action = CommandLine::Action::Help;
  } else if (first == "--version") {
    line.action = CommandLine::Action::Version;
  } else if (first == "--status") {
    line.action = CommandLine::Action::Status;
    allowed = 2;
    if (args.size() > 1) line.statusTarget = args[1];
  } else {
    line.action = CommandLine::Action::Misuse;
    line.error = first.starts_with("-") ? "unknown option '" + std::string(first) + "'"
                                        : "unexpected argument '" + std::string(first) + "'";
    return line;
  }
  if (args.size() > allowed) {
    line.action = CommandLine::Action::Misuse;
    line.error = "unexpected argument '" + std::string(args[allowed]) + "' after " + std::string(first);
  }
  return line;
}

}  // namespace vorel
