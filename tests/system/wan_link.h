// A wide-area link for the system tests: two network namespaces of the
// test's own, the driver's side and the servers' side, joined by
// vorel_wan_relay (a TUN device in each, every packet held for the one-way
// delay, a share dropped, everything dropped while a cut is on). Both ends
// run the kernel's own TCP, as across a real network.
//
// Processes started inside a NetnsScope live in that namespace: the test's
// thread enters it, the child inherits it, the thread goes back. The names
// hold the process id, so parallel runs never meet; the destructor ends the
// relay (its devices go with it) and removes both namespaces, and a run that
// was killed before it could is swept up by the next one.
//
// Root only: WanLink::Unavailable() gives the reason to skip elsewhere.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "program_env.h"
#include "support/child_process.h"

namespace vorel::test {

// The calling thread in a network namespace until the scope ends.
class NetnsScope {
 public:
  explicit NetnsScope(const std::string& name)
      : own_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    const int target = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = own_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) ::close(target);
    if (!entered) throw std::runtime_error("cannot enter network namespace " + name + ": " + std::strerror(errno));
  }
  ~NetnsScope() {
    // Staying in the wrong namespace would send the rest of the suite there.
    if (::setns(own_, CLONE_NEWNET) != 0) std::abort();
    ::close(own_);
  }
  NetnsScope(const NetnsScope&) = delete;
  NetnsScope& operator=(const NetnsScope&) = delete;

 private:
  int own_;
};

struct WanPath {
  int oneWayDelayMs = 10;  // a 20 ms round trip
  double lossPercent = 0;
  unsigned seed = 1;
};

class WanLink {
 public:
  static constexpr const char* kDriverAddress = "169.254.77.1";
  static constexpr const char* kServerAddress = "169.254.77.2";

  // Empty when the link can be built here; otherwise why not.
  static std::string Unavailable() {
    if (::geteuid() != 0) return "a wide-area link needs root (network namespaces and TUN devices)";
    if (::access("/dev/net/tun", R_OK | W_OK) != 0) return "no /dev/net/tun here";
    if (std::system("ip netns list >/dev/null 2>&1") != 0) return "no 'ip netns' here (iproute2)";
    return {};
  }

  WanLink() {
    static std::atomic<int> counter{0};
    SweepLeftovers();
    const std::string stem = std::string(kPrefix) + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    driverSide_ = stem + "-d";
    serverSide_ = stem + "-s";
    for (const std::string* name : {&driverSide_, &serverSide_})
      if (std::system(("ip netns add " + *name).c_str()) != 0)
        throw std::runtime_error("ip netns add " + *name + " failed");
  }
  ~WanLink() {
    if (relay_) {
      relay_->Signal(SIGTERM);
      relay_->WaitForExit(std::chrono::seconds(5));
      relay_.reset();
    }
    for (const std::string* name : {&driverSide_, &serverSide_}) Remove(*name);
  }
  WanLink(const WanLink&) = delete;
  WanLink& operator=(const WanLink&) = delete;

  // The relay, reporting to `output`; false (with its complaint in
  // `error`) when it did not come up.
  bool Start(const std::filesystem::path& output, const WanPath& path, std::string& error) {
    output_ = output;
    relay_ = std::make_unique<ChildProcess>(
        VOREL_WAN_RELAY,
        std::vector<std::string>{"--netns-a", driverSide_, "--netns-b", serverSide_, "--address-a", kDriverAddress,
                                 "--address-b", kServerAddress, "--delay", std::to_string(path.oneWayDelayMs),
                                 "--loss", std::to_string(path.lossPercent), "--seed", std::to_string(path.seed),
                                 "-o", output.string()},
        output.parent_path().string(), std::map<std::string, std::string>{},
        ChildIo{.stdinPipe = true, .stderrFile = output.string() + ".err"});
    const bool up = WaitUntil([&] { return Reported("ready ") > 0 || !relay_->Running(); }, std::chrono::seconds(10));
    if (up && relay_->Running()) return true;
    error = "the relay did not come up: " + Contents(output.string() + ".err");
    return false;
  }

  const std::string& DriverSide() const { return driverSide_; }
  const std::string& ServerSide() const { return serverSide_; }

  // Each returns once the relay has applied it.
  bool Cut() { return Command("cut", "cut on"); }
  bool Restore() { return Command("restore", "cut off"); }
  bool SetLoss(double percent) { return Command("loss " + std::to_string(percent), "loss percent="); }
  // What went through, lost and was cut so far: "stats a-to-b=… b-to-a=… lost=… cut=… overflow=…".
  std::string Stats() {
    if (!Command("stats", "stats ")) return {};
    const std::string text = Contents(output_);
    const std::size_t at = text.rfind("stats ");
    return text.substr(at, text.find('\n', at) - at);
  }

 private:
  static constexpr const char* kPrefix = "vorel-wan-";

  int Reported(const std::string& start) const {
    std::istringstream in(Contents(output_));
    int count = 0;
    for (std::string line; std::getline(in, line);)
      if (line.rfind(start, 0) == 0) ++count;
    return count;
  }
  bool Command(const std::string& line, const std::string& report) {
    const int before = Reported(report);
    return relay_ && relay_->Type(line) &&
           WaitUntil([&] { return Reported(report) > before; }, std::chrono::seconds(10));
  }

  // The namespace, and whatever still runs in it: only this test's own
  // processes live there (one a crashed run left behind, when swept).
  static void Remove(const std::string& name) {
    if (std::system(("ip netns pids " + name + " 2>/dev/null | xargs -r kill -9").c_str()) != 0) {
      // Nothing to end, or already gone.
    }
    if (std::system(("ip netns del " + name + " 2>/dev/null").c_str()) != 0) {
      // Still in use by a process on its way out: once more, a moment later.
      WaitUntil([&] { return std::system(("ip netns del " + name + " 2>/dev/null").c_str()) == 0; },
                std::chrono::seconds(2));
    }
  }
  // Namespaces of a run that was killed before its destructors ran, and the
  // driver and servers it left in them.
  static void SweepLeftovers() {
    DIR* dir = ::opendir("/run/netns");
    if (dir == nullptr) return;
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.rfind(kPrefix, 0) != 0) continue;
      const pid_t owner = static_cast<pid_t>(std::atol(name.c_str() + std::strlen(kPrefix)));
      if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH) stale.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : stale) Remove(name);
  }

  std::string driverSide_;
  std::string serverSide_;
  std::filesystem::path output_;
  std::unique_ptr<ChildProcess> relay_;
};

}  // namespace vorel::test
