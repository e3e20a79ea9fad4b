// The real program, offscreen, in a fresh working directory: it starts with
// and without a configuration, holds its configured port exclusively, and
// ends on SIGTERM or SIGINT with status 0.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "program_env.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::TempDir;
using test::WaitUntil;

// A pseudo-terminal standing in for the station's serial line.
class PseudoTerminal {
 public:
  PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master_);
    unlockpt(master_);
    slave_ = ptsname(master_);
  }
  ~PseudoTerminal() { close(master_); }
  const std::string& SlavePath() const { return slave_; }

  // Whether another opener holds the line exclusively right now.
  bool HeldExclusively() const {
    const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return true;
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return locked;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

void StopWith(ChildProcess& program, int signal) {
  ASSERT_TRUE(WaitUntil([&] { return program.Catches(SIGTERM) && program.Catches(SIGINT); }, 20s))
      << "the program never got ready";
  program.Signal(signal);
  const auto status = program.WaitForExit(20s);
  ASSERT_TRUE(status.has_value()) << "still running after the signal";
  EXPECT_EQ(*status, 0);
}

TEST(Program, StartsWithoutConfigurationAndEndsOnEitherSignal) {
  for (int signal : {SIGTERM, SIGINT}) {
    TempDir dir;
    test::Driver program(dir);
    StopWith(program, signal);
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "vorel.ini")) << "nothing is written back at start";
  }
}

TEST(Program, EndsOnSignalWhileAStartUpErrorIsOnShow) {
  // An invalid attention time stops the start-up with a modal error box that
  // nobody closes offscreen; the signal must still end the program.
  TempDir dir;
  std::ofstream(dir.Path() / "vorel.ini") << "[main]\r\nAttention=25:00:00\r\n";
  test::Driver program(dir);
  ASSERT_TRUE(WaitUntil([&] { return program.Catches(SIGTERM); }, 20s));
  WaitUntil([] { return false; }, 500ms);  // let the box open
  StopWith(program, SIGTERM);
}

TEST(Program, HoldsItsConfiguredPortExclusivelyUntilItEnds) {
  TempDir dir;
  PseudoTerminal station;
  std::filesystem::create_directory(dir.Path() / "com");
  std::filesystem::create_symlink(station.SlavePath(), dir.Path() / "com" / "COM7");
  std::ofstream(dir.Path() / "vorel.ini") << "[port]\r\nComPort=COM7\r\nBaudRate=14400\r\n";
  ASSERT_FALSE(station.HeldExclusively());

  test::Driver program(dir);
  EXPECT_TRUE(WaitUntil([&] { return station.HeldExclusively(); }, 20s)) << "the port was not opened";
  StopWith(program, SIGTERM);
  EXPECT_FALSE(station.HeldExclusively()) << "the port is released at the end";
}

TEST(Program, VersionOption) {
  TempDir dir;
  const std::string out = (dir.Path() / "out.txt").string();
  const std::string command = std::string(VOREL_BINARY) + " --version > " + out;
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(out);
  std::string line;
  std::getline(in, line);
  EXPECT_TRUE(line.rfind("vorel ", 0) == 0) << line;
  int parts = 0;
  for (char c : line) parts += c == '.';
  EXPECT_EQ(parts, 3) << line;
}

}  // namespace
}  // namespace vorel
