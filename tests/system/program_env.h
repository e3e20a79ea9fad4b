// How the system tests start the real program: offscreen, in the test's own
// directory, ports from <dir>/com, and a clock frame written to a file, never
// to the machine's clock.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorel::test {

inline std::map<std::string, std::string> ProgramEnv(const TempDir& dir) {
  return {{"QT_QPA_PLATFORM", "offscreen"},
          {"VOREL_CLOCK_FILE", (dir / "clock.txt").string()},
          {"VOREL_COM_DIR", (dir / "com").string()}};
}

// A file's text, or nothing while it does not exist yet.
inline std::string Contents(const std::filesystem::path& file) {
  return std::filesystem::exists(file) ? ReadFile(file) : std::string();
}

// How many times `part` stands in `text`, overlaps included.
inline int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A number from the environment (a seed, a count of rounds), or `fallback`.
inline unsigned long EnvironmentNumber(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::stoul(text) : fallback;
}

// The port a reference server printed on its first line: "listening HOST:PORT".
inline std::string ListeningPort(const std::filesystem::path& output) {
  const std::string text = Contents(output);
  const std::size_t line = text.find("listening ");
  if (line == std::string::npos) return {};
  const std::size_t colon = text.find(':', line);
  const std::size_t end = text.find('\n', line);
  if (colon == std::string::npos || end == std::string::npos) return {};
  return text.substr(colon + 1, end - colon - 1);
}

// The program, started in `dir`.
class Driver : public ChildProcess {
 public:
  explicit Driver(const TempDir& dir) : ChildProcess(VOREL_BINARY, {}, dir.Path().string(), ProgramEnv(dir)) {}
};

}  // namespace vorel::test
