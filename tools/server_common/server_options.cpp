#include "server_options.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

namespace vorel::tools {

void UsageError(const ServerProgram& program, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n(see --help)\n", program.name, text.c_str());
  std::exit(2);
}

std::optional<std::uint64_t> ParseWholeNumber(std::string_view text, std::uint64_t highest) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > highest)
    return std::nullopt;
  return value;
}

ServerOptions ParseServerArguments(int argc, char** argv, const ServerProgram& program, const OwnOptions& own) {
  ServerOptions options;
  options.port = program.defaultPort;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) UsageError(program, arg + " needs a value");
      return argv[++i];
    };
    const auto ownOption = own.find(arg);
    if (arg == "-h" || arg == "--help") {
      std::fputs(program.usage, stdout);
      std::exit(0);
    } else if (arg == "-o") {
      options.outputPath = value();
    } else if (arg == "--no-stdin") {
      options.readStdin = false;
    } else if (arg == "--receive-buffer") {
      const std::string text = value();
      const auto bytes = ParseWholeNumber(text, 1 << 24);
      if (!bytes || *bytes == 0) UsageError(program, "bad receive buffer size " + text);
      options.receiveBuffer = static_cast<int>(*bytes);
    } else if (ownOption != own.end()) {
      ownOption->second(value());
    } else if (!arg.empty() && arg[0] == '-') {
      UsageError(program, "unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty() || positional.size() > 2) UsageError(program, "give HOST and optionally PORT");
  options.host = positional[0];
  if (positional.size() == 2) {
    const auto port = ParseWholeNumber(positional[1], 65535);
    if (!port) UsageError(program, "bad port " + positional[1]);
    options.port = static_cast<std::uint16_t>(*port);
  }
  return options;
}

int RunServer(const ServerProgram& program, const std::function<int()>& run) {
  try {
    return run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", program.name, error.what());
    return 1;
  }
}

}  // namespace vorel::tools
