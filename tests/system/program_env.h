// How the system tests start the real program: offscreen, in the test's own
// directory, ports from <dir>/com, and a clock frame written to a file, never
// to the machine's clock.
#pragma once

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

// The program, started in `dir`.
class Driver : public ChildProcess {
 public:
  explicit Driver(const TempDir& dir) : ChildProcess(VOREL_BINARY, {}, dir.Path().string(), ProgramEnv(dir)) {}
};

}  // namespace vorel::test
