// Both reference servers for the system tests: the protocol-7 server on
// ADDRESS:7788 and the protocol-8 server on 127.0.0.1 (a port of the
// system's choosing, kept across restarts), each run writing its own output.
#pragma once

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "program_env.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorel::test {

// Both reference servers, stopped and started again on the same addresses;
// each run writes its own output file.
class ReferenceServers {
 public:
  ReferenceServers(const TempDir& dir, std::string p7Address) : dir_(dir), p7Address_(std::move(p7Address)) {}
  ~ReferenceServers() { Stop(); }

  void Start(const std::string& p8Policy = "accept") {
    ++run_;
    p8_ = std::make_unique<ChildProcess>(
        VOREL_P8_SERVER,
        std::vector<std::string>{"--policy", p8Policy, "-o", P8Output(run_).string(), p8Host, p8Port_},
        dir_.Path().string(), std::map<std::string, std::string>{}, ChildIo{.stdinPipe = true, .stderrFile = {}});
    std::vector<std::string> p7Arguments = p7Options;
    p7Arguments.insert(p7Arguments.end(), {"-o", P7Output(run_).string(), p7Address_, "7788"});
    p7_ = std::make_unique<ChildProcess>(
        VOREL_P7_SERVER, p7Arguments, dir_.Path().string(),
        std::map<std::string, std::string>{}, ChildIo{.stdinPipe = true, .stderrFile = {}});
    ASSERT_TRUE(WaitUntil([&] { return !ListeningPort(P8Output(run_)).empty(); }, std::chrono::seconds(10)));
    ASSERT_TRUE(WaitUntil([&] { return !ListeningPort(P7Output(run_)).empty(); }, std::chrono::seconds(10)));
    p8Port_ = ListeningPort(P8Output(run_));
  }
  void Stop() {
    for (auto* server : {&p7_, &p8_}) {
      if (!*server) continue;
      (*server)->Signal(SIGTERM);
      (*server)->WaitForExit(std::chrono::seconds(10));
      server->reset();
    }
  }

  // The protocol-8 server's address (another namespace's, over a
  // wide-area link).
  std::string p8Host = "127.0.0.1";

  // Options of every protocol-7 server run, before its address
  // ("--receive-buffer", "4096").
  std::vector<std::string> p7Options;

  // Both servers take commands on standard input ("policy NAME", "stall", ...).
  bool Running() const { return p7_ != nullptr; }
  bool P7Command(const std::string& line) { return p7_ && p7_->Type(line); }
  bool P8Command(const std::string& line) { return p8_ && p8_->Type(line); }
  const std::string& P8Port() const { return p8Port_; }
  std::string P7Seen() const { return AllRuns(&ReferenceServers::P7Output); }
  std::string P8Seen() const { return AllRuns(&ReferenceServers::P8Output); }
  std::string P8SeenInRun(int run) const { return Contents(P8Output(run)); }

 private:
  std::filesystem::path P7Output(int run) const { return dir_ / ("p7-" + std::to_string(run) + ".txt"); }
  std::filesystem::path P8Output(int run) const { return dir_ / ("p8-" + std::to_string(run) + ".txt"); }
  std::string AllRuns(std::filesystem::path (ReferenceServers::*output)(int) const) const {
    std::string all;
    for (int run = 1; run <= run_; ++run) all += Contents((this->*output)(run));
    return all;
  }

  const TempDir& dir_;
  std::string p7Address_;
  std::string p8Port_ = "0";
  int run_ = 0;
  std::unique_ptr<ChildProcess> p7_;
  std::unique_ptr<ChildProcess> p8_;
};

}  // namespace vorel::test
