// The real program, offscreen, in a fresh working directory: it starts with
// and without a configuration, holds its configured port exclusively, ends on
// SIGTERM or SIGINT with status 0, and tells what it does without its window
// (log lines on standard error, the status file, "vorel --status").
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
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

// The exit status and standard output of "vorel --status DIR".
std::pair<int, std::string> StatusCommand(const TempDir& scratch, const std::filesystem::path& dir) {
  const std::string out = (scratch.Path() / "status-out.txt").string();
  const std::string command =
      std::string(VOREL_BINARY) + " --status " + dir.string() + " > " + out + " 2> " + out + ".err";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::Contents(out)};
}

TEST(Program, WithoutItsWindowTheLogIsOnStandardErrorAndTheStatusIsInItsFile) {
  TempDir dir;
  TempDir scratch;
  std::ofstream(dir.Path() / "vorel.ini") << "[ServerHost]\r\nAddress=127.0.0.79\r\nPort=1\r\n";
  EXPECT_EQ(StatusCommand(scratch, dir.Path()).first, 4) << "never run here";

  const std::filesystem::path err = dir.Path() / "driver-err.txt";
  ChildProcess program(VOREL_BINARY, {}, dir.Path().string(), test::ProgramEnv(dir),
                       test::ChildIo{.stderrFile = err.string()});
  // The protocol-8 link's attempts, as the memo shows them.
  EXPECT_TRUE(WaitUntil([&] { return test::Contents(err).find(" Соединение...\n") != std::string::npos; }, 20s));
  const std::string log = test::Contents(err);
  const std::regex line("(^|\n)vorel: log: \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d Соединение\\.\\.\\.\n");
  EXPECT_TRUE(std::regex_search(log, line)) << "an ISO time, then the memo's text:\n" << log;

  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(dir.Path() / "vorel.status"); }, 20s));
  const auto [running, text] = StatusCommand(scratch, dir.Path());
  EXPECT_EQ(running, 0) << text;
  EXPECT_NE(text.find("state=running\n"), std::string::npos) << text;
  EXPECT_NE(text.find("protocol8=down\n"), std::string::npos) << text;
  EXPECT_NE(text.find("pid=" + std::to_string(program.Pid()) + "\n"), std::string::npos) << text;

  StopWith(program, SIGTERM);
  const auto [ended, last] = StatusCommand(scratch, dir.Path());
  EXPECT_EQ(ended, 3) << last;
  EXPECT_EQ(last.find("state=stopped\n"), 0u) << last;
}

// Under systemd: the journal takes each line's level from its prefix, a
// configured port whose device comes after the start is opened once it is
// there, and the end says why.
TEST(Program, UnderTheJournalALatePortIsOpenedAndEachLineHasItsLevel) {
  TempDir dir;
  std::filesystem::create_directory(dir.Path() / "com");
  std::ofstream(dir.Path() / "vorel.ini") << "[port]\r\nComPort=COM5\r\n[ServerHost]\r\nAddress=127.0.0.79\r\nPort=1\r\n";
  const std::filesystem::path err = dir.Path() / "journal.txt";
  std::ofstream(err).close();
  struct stat st {};
  ASSERT_EQ(stat(err.c_str(), &st), 0);
  auto env = test::ProgramEnv(dir);
  env["JOURNAL_STREAM"] = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  ChildProcess program(VOREL_BINARY, {}, dir.Path().string(), env, test::ChildIo{.stderrFile = err.string()});
  const auto logged = [&](const std::string& pattern) {
    return WaitUntil([&] { return std::regex_search(test::Contents(err), std::regex(pattern)); }, 20s);
  };
  const std::string time = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d";
  EXPECT_TRUE(logged("(^|\n)<4>vorel: log: " + time +
                     " Порт COM5 не открыт \\(No such file or directory\\), повтор открытия каждые 5 с\\.\n"))
      << test::Contents(err);
  // Each attempt is routine: debug.
  EXPECT_TRUE(logged("(^|\n)<7>vorel: log: " + time + " Соединение\\.\\.\\.\n")) << test::Contents(err);

  PseudoTerminal station;
  std::filesystem::create_symlink(station.SlavePath(), dir.Path() / "com" / "COM5");
  EXPECT_TRUE(WaitUntil([&] { return station.HeldExclusively(); }, 20s)) << "the late port was not opened";
  EXPECT_TRUE(logged("(^|\n)<6>vorel: log: " + time + " Порт COM5 снова открыт\\.\n")) << test::Contents(err);

  StopWith(program, SIGTERM);
  EXPECT_TRUE(logged("(^|\n)<6>vorel: closing: SIGTERM ")) << test::Contents(err);
  EXPECT_FALSE(std::regex_search(test::Contents(err), std::regex("(^|\n)vorel:"))) << "a line without its level";
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
