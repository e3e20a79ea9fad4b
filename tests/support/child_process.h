// Running the real program (or a tool) from a test: its own working
// directory and environment, ended and reaped whatever happens to the test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vorel::test {

// Where the child's standard streams go besides the test's own.
struct ChildIo {
  bool stdinPipe = false;   // the test writes the child's input with Type
  std::string stderrFile;   // standard error appended to this file
};

class ChildProcess {
 public:
  // Starts `program` with `args` in `workDir`; `env` adds to (or replaces in)
  // the test's own environment.
  ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& workDir,
               const std::map<std::string, std::string>& env = {}, const ChildIo& io = {});
  ~ChildProcess();  // SIGKILL and reap, if still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // A line on the child's standard input (with ChildIo::stdinPipe).
  bool Type(const std::string& line);
  bool Running();
  void Signal(int signal);
  // True once the process has installed a handler for `signal`.
  bool Catches(int signal) const;
  // Waits for the end; the exit status, or -signal when a signal killed it;
  // nullopt when it did not end in time.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::optional<int> status_;
};

// Polls `condition` every 10 ms until it holds or `timeout` passes.
template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    struct timespec pause {0, 10'000'000};
    nanosleep(&pause, nullptr);
  }
  return true;
}

}  // namespace vorel::test
