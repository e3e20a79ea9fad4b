// The command line both reference servers share:
//   [own options] [-o FILE] [--no-stdin] [-h|--help] HOST [PORT]
// Each server adds its own options through a callback; a mistake ends the
// process with status 2 and "NAME: what went wrong" plus "(see --help)".
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vorel::tools {

struct ServerProgram {
  const char* name;           // "vorel_p7_server": starts every complaint
  const char* usage;          // printed by -h / --help
  std::uint16_t defaultPort;  // when PORT is not given
};

struct ServerOptions {
  std::string host;
  std::uint16_t port = 0;
  std::string outputPath;  // empty: stdout
  bool readStdin = true;
  // SO_RCVBUF of the listening socket (and so of every connection), set
  // before it listens so that the window it offers stays that small; 0: the
  // system's.
  int receiveBuffer = 0;
};

// Writes "NAME: TEXT" and "(see --help)" to stderr and exits with status 2.
[[noreturn]] void UsageError(const ServerProgram& program, const std::string& text);

// A whole decimal number from 0 to highest, nothing else around it.
std::optional<std::uint64_t> ParseWholeNumber(std::string_view text, std::uint64_t highest);

// The program's own options, each with a value (the next argument), by name:
// {"--seed", [&](const std::string& value) { ... }}. A missing value is a
// usage error.
using OwnOptions = std::map<std::string, std::function<void(const std::string& value)>>;

// Parses the whole command line; -h / --help print the usage and exit 0.
ServerOptions ParseServerArguments(int argc, char** argv, const ServerProgram& program, const OwnOptions& own);

// Runs the server; an exception ends it with "NAME: what" on stderr and
// status 1 (an address that is not IPv4, a port in use, an output file that
// cannot be created).
int RunServer(const ServerProgram& program, const std::function<int()>& run);

}  // namespace vorel::tools
