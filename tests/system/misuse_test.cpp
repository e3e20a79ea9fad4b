// The real program misused as a new user or an administrator would: a
// mistyped option, a second driver beside the first, a standard error whose
// reader goes away. Each gets a clear answer; nothing runs that was not
// asked for, and nothing that runs dies of it.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "program_env.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ChildProcess;
using test::TempDir;
using test::WaitUntil;

constexpr char kUsageLine[] = "Usage: vorel [--help | --version | --status [DIR | NAME]]\n";

// A configuration whose protocol-8 server is nowhere: the driver keeps
// trying, and says so on standard error.
void WriteConfig(const TempDir& dir, const std::string& spool = "") {
  std::ofstream ini(dir.Path() / "vorel.ini");
  ini << "[ServerHost]\r\nAddress=127.0.0.79\r\nPort=1\r\n";
  if (!spool.empty()) ini << "[main]\r\nPathForSoob=" << spool << "\r\n";
}

bool Ready(ChildProcess& program) {
  return WaitUntil([&] { return program.Catches(SIGTERM); }, 20s);
}

TEST(Misuse, AnUnknownOptionOrAnExtraArgumentStartsNothing) {
  const struct {
    std::vector<std::string> args;
    std::string fault;  // the word the message names
  } cases[] = {
      {{"--stauts"}, "--stauts"},
      {{"status"}, "status"},
      {{"-platform", "offscreen"}, "-platform"},
      {{"--status", "/var/lib/vorel", "again"}, "again"},
      {{"--version", "--help"}, "--help"},
      {{"--help", "x"}, "x"},
      {{"--"}, "--"},
  };
  for (const auto& [args, fault] : cases) {
    const std::string shown = args.front() + (args.size() > 1 ? " " + args[1] : "");
    TempDir dir;
    TempDir scratch;
    const fs::path err = scratch.Path() / "err.txt";
    ChildProcess program(VOREL_BINARY, args, dir.Path().string(), test::ProgramEnv(dir),
                         test::ChildIo{.stderrFile = err.string()});
    const auto status = program.WaitForExit(20s);
    ASSERT_TRUE(status.has_value()) << shown << ": a driver started";
    EXPECT_EQ(*status, 2) << shown;
    const std::string text = test::Contents(err);
    EXPECT_EQ(text.rfind("vorel: ", 0), 0u) << shown << ": " << text;
    EXPECT_NE(text.find("'" + fault + "'"), std::string::npos) << shown << ": the word at fault is named: " << text;
    EXPECT_TRUE(text.ends_with(kUsageLine)) << shown << ": " << text;
    EXPECT_TRUE(fs::is_empty(dir.Path())) << shown << ": something was written in the working directory";
  }
}

// One driver per working directory and per spool directory: the second is
// told which process holds the place and ends with status 1, the first runs
// on. The lock goes with its holder, however it ends.
TEST(Misuse, ASecondDriverInTheSameWorkingOrSpoolDirectoryIsTurnedAway) {
  TempDir first;
  TempDir spool;
  WriteConfig(first, (spool.Path() / "").string());
  ChildProcess driver(VOREL_BINARY, {}, first.Path().string(), test::ProgramEnv(first));
  ASSERT_TRUE(Ready(driver));

  TempDir elsewhere;  // another configuration with the same spool
  WriteConfig(elsewhere, (spool.Path() / "").string());
  TempDir scratch;
  for (const TempDir* dir : {&first, &elsewhere}) {
    const fs::path err = scratch.Path() / "second.txt";
    fs::remove(err);
    const fs::path status = dir->Path() / "vorel.status";
    ChildProcess second(VOREL_BINARY, {}, dir->Path().string(), test::ProgramEnv(*dir),
                        test::ChildIo{.stderrFile = err.string()});
    const auto ended = second.WaitForExit(20s);
    ASSERT_TRUE(ended.has_value()) << dir->Path() << ": the second driver runs";
    EXPECT_EQ(*ended, 1);
    const std::string text = test::Contents(err);
    EXPECT_NE(text.find("another driver (process " + std::to_string(driver.Pid()) + ")"), std::string::npos) << text;
    EXPECT_NE(text.find(dir == &first ? "working directory" : "spool directory"), std::string::npos) << text;
    // The first driver writes the status when it will; the file names its
    // writer.
    if (dir == &first)
      EXPECT_EQ(test::Contents(status).find("pid=" + std::to_string(second.Pid()) + "\n"), std::string::npos)
          << "the second driver wrote the status";
    else EXPECT_FALSE(fs::exists(status)) << "the second driver started";
  }
  EXPECT_TRUE(driver.Running());
  EXPECT_TRUE(fs::is_empty(spool.Path())) << "an empty spool directory means that nothing waits";

  driver.Signal(SIGKILL);
  ASSERT_TRUE(driver.WaitForExit(20s).has_value());
  ChildProcess after(VOREL_BINARY, {}, elsewhere.Path().string(), test::ProgramEnv(elsewhere));
  ASSERT_TRUE(Ready(after)) << "the lock outlived a killed driver";
  after.Signal(SIGTERM);
  EXPECT_EQ(after.WaitForExit(20s), 0);
}

// A spool directory that cannot even be made is no reason to leave the
// station without a driver: a warning, and the driver runs.
TEST(Misuse, ASpoolDirectoryThatCannotBeLockedIsOnlyAWarning) {
  TempDir dir;
  std::ofstream(dir.Path() / "a-file").close();
  WriteConfig(dir, (dir.Path() / "a-file" / "spool" / "").string());
  const fs::path err = dir.Path() / "err.txt";
  ChildProcess driver(VOREL_BINARY, {}, dir.Path().string(), test::ProgramEnv(dir),
                      test::ChildIo{.stderrFile = err.string()});
  ASSERT_TRUE(Ready(driver));
  EXPECT_NE(test::Contents(err).find("vorel: no lock on the spool directory "), std::string::npos)
      << test::Contents(err);
  driver.Signal(SIGTERM);
  EXPECT_EQ(driver.WaitForExit(20s), 0);
}

// Standard error piped to a reader that ends (a pager, a restarted logger):
// the driver's next line finds nobody, and the driver goes on to its
// ordinary end, its status file written to the last.
TEST(Misuse, AStandardErrorWhoseReaderEndsStopsOnlyTheLinesToIt) {
  TempDir dir;
  TempDir scratch;
  WriteConfig(dir);
  const fs::path fifo = scratch.Path() / "stderr.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ChildProcess driver(VOREL_BINARY, {}, dir.Path().string(), test::ProgramEnv(dir),
                      test::ChildIo{.stderrFile = fifo.string()});
  std::string heard;
  EXPECT_TRUE(WaitUntil(
      [&] {
        char buffer[512];
        ssize_t n;
        while ((n = read(reader, buffer, sizeof buffer)) > 0) heard.append(buffer, static_cast<std::size_t>(n));
        return heard.find(" Соединение...\n") != std::string::npos;
      },
      20s))
      << heard;
  ASSERT_TRUE(Ready(driver));
  close(reader);

  driver.Signal(SIGTERM);  // its closing line is written to the pipe first
  EXPECT_EQ(driver.WaitForExit(20s), 0) << "-13 is death by SIGPIPE";
  EXPECT_EQ(test::Contents(dir.Path() / "vorel.status").find("state=stopped\n"), 0u);
}

}  // namespace
}  // namespace vorel
