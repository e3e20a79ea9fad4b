// What /proc says about a running process: CPU time used so far (user +
// system, every thread) and resident memory.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

namespace vorel::bench {

// utime + stime in seconds from a /proc stat file; nullopt when it is gone.
inline std::optional<double> CpuSecondsOf(const std::string& statFile) {
  std::ifstream in(statFile);
  std::string text;
  if (!std::getline(in, text)) return std::nullopt;
  // The command name may hold blanks; the fields after it are counted from ')'.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// utime + stime of the whole process (every thread) in seconds.
inline std::optional<double> CpuSeconds(pid_t pid) { return CpuSecondsOf("/proc/" + std::to_string(pid) + "/stat"); }

// The same per thread, keyed by "tid name".
inline std::map<std::string, double> ThreadCpuSeconds(pid_t pid) {
  std::map<std::string, double> out;
  std::error_code ec;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (std::filesystem::directory_iterator it(tasks, ec), end; !ec && it != end; it.increment(ec)) {
    std::ifstream comm(it->path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (const auto cpu = CpuSecondsOf((it->path() / "stat").string()))
      out[it->path().filename().string() + " " + name] = *cpu;
  }
  return out;
}

// VmRSS in KiB; nullopt when the process is gone.
inline std::optional<long> RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return std::nullopt;
}

}  // namespace vorel::bench
