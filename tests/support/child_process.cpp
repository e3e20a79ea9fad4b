#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vorel::test {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& workDir, const std::map<std::string, std::string>& env,
                           const ChildIo& io) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq != nullptr) merged[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [k, v] : env) merged[k] = v;
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : merged) envStrings.push_back(k + "=" + v);

  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  int input[2] = {-1, -1};
  if (io.stdinPipe && pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // A test that ignores SIGPIPE must not hand that on: the child starts as
    // from a shell.
    signal(SIGPIPE, SIG_DFL);
    if (io.stdinPipe && dup2(input[0], STDIN_FILENO) < 0) _exit(125);
    if (!io.stderrFile.empty()) {
      const int err = open(io.stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (err < 0 || dup2(err, STDERR_FILENO) < 0) _exit(125);
    }
    if (chdir(workDir.c_str()) != 0) _exit(126);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (io.stdinPipe) {
    close(input[0]);
    stdin_ = input[1];
  }
}

bool ChildProcess::Type(const std::string& line) {
  if (stdin_ < 0) return false;
  // A child that has ended must fail the write, not end the test.
  static const bool pipeSignalIgnored = (signal(SIGPIPE, SIG_IGN), true);
  (void)pipeSignalIgnored;
  const std::string text = line + "\n";
  return write(stdin_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

ChildProcess::~ChildProcess() {
  if (stdin_ >= 0) close(stdin_);
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

bool ChildProcess::Running() {
  if (status_) return false;
  int status = 0;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return false;
  }
  return true;
}

void ChildProcess::Signal(int signal) {
  if (Running()) kill(pid_, signal);
}

bool ChildProcess::Catches(int signal) const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) == 0) {
      const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask >> (signal - 1)) & 1ULL;
    }
  }
  return false;
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  WaitUntil([this] { return !Running(); }, timeout);
  return status_;
}

}  // namespace vorel::test
