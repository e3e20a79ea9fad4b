#include "spool/spool_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "support/temp_dir.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::uint8_t> Bytes555() {
  std::vector<std::uint8_t> bytes(555);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return bytes;
}

// Caps the size of files this process may write, as a full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit saved_{};
  sighandler_t oldHandler_;
};

// A driver killed between writing its temporary file and naming it left the
// temporary behind for good, one more with every such kill.
TEST(SpoolFileTest, TemporariesOfAWriterThatIsGoneAreRemovedOthersStay) {
  TempDir dir;
  const std::string mine = std::to_string(::getpid());
  const pid_t gone = [] {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;  // reaped: no process has this id now
  }();
  const std::vector<std::string> left = {
      "1A.dd8." + std::to_string(gone) + "-0.part",   "1A_-1.ddm." + std::to_string(gone) + "-3.part",
      "1B.dd8." + mine + "-1.part",                   // a writer at work
      "1C.dd8.1-0.part",                             // the init process: alive
      "1D.txt." + std::to_string(gone) + "-0.part",   // not a spool file
      "1E.dd8",
  };
  for (const std::string& name : left) test::WriteFile(dir / name, "x");
  EXPECT_EQ(RemoveUnfinishedSpoolFiles(dir.Path().string() + "/"), 2);
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"1B.dd8." + mine + "-1.part", "1C.dd8.1-0.part",
                                                         "1D.txt." + std::to_string(gone) + "-0.part", "1E.dd8"}));
}

TEST(SpoolFileTest, WritesExactlyTheBytesAndLeavesNothingElse) {
  TempDir dir;
  const auto bytes = Bytes555();
  const std::string name = WriteSpoolFile(dir.Path().string() + "/", "2DC06B63_5", ".ddm", bytes);
  EXPECT_EQ(name, (dir / "2DC06B63_5.ddm").string());
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"2DC06B63_5.ddm"});
  EXPECT_EQ(ReadFile(name), std::string(bytes.begin(), bytes.end()));
}

// Anything holding the name - a file or a directory - keeps it.
TEST(SpoolFileTest, TakenNameGetsTheNextSuffix) {
  TempDir dir;
  fs::create_directory(dir / "A.dd8");
  fs::create_directory(dir / "A-1.dd8");
  const std::uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(WriteSpoolFile(dir.Path().string() + "/", "A", ".dd8", bytes), (dir / "A-2.dd8").string());
  EXPECT_EQ(ReadFile(dir / "A-2.dd8"), "\x01\x02\x03");
}

// A short .ddm would be replayed as a frame with undefined bytes.
TEST(SpoolFileTest, WriteCutShortLeavesNoFileAtAll) {
  TempDir dir;
  {
    FileSizeLimit limit(100);
    try {
      WriteSpoolFile(dir.Path().string() + "/", "2DC06B63_5", ".ddm", Bytes555());
      ADD_FAILURE() << "no error";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().value(), EFBIG) << e.what();
    }
  }
  EXPECT_TRUE(Names(dir.Path()).empty());
}

// The files of one hand-over are written together; one that fails takes no
// other with it and leaves nothing behind.
TEST(SpoolFileTest, FilesWrittenTogetherFailOneByOne) {
  TempDir dir;
  const std::string prefix = dir.Path().string() + "/";
  const std::vector<std::uint8_t> small(50, 7);
  std::vector<SpoolWritten> written;
  {
    FileSizeLimit limit(100);
    written = PublishSpoolFiles({{prefix, "A", ".dd8", small}, {prefix, "B", ".ddm", Bytes555()},
                                 {prefix, "A", ".dd8", small}});
  }
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[0].file, prefix + "A.dd8");
  EXPECT_FALSE(written[1].file);
  EXPECT_NE(written[1].error.find("B.ddm"), std::string::npos) << written[1].error;
  EXPECT_EQ(written[2].file, prefix + "A-1.dd8") << "a name taken in the same hand-over";
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"A-1.dd8", "A.dd8"}));
  EXPECT_EQ(ReadFile(prefix + "A-1.dd8").size(), 50u);
}

TEST(SpoolFileTest, AMissingDirectoryIsMadeAndAnImpossibleOneRaisesWithTheName) {
  // A missing spool directory must not lose every event without a word.
  TempDir dir;
  const std::string written = WriteSpoolFile((dir / "gone" / "deeper" / "").string(), "2DC06B63", ".dd8", Bytes555());
  EXPECT_EQ(written, (dir / "gone" / "deeper" / "2DC06B63.dd8").string());
  EXPECT_EQ(test::ReadFile(written).size(), 555u);

  test::WriteFile(dir / "file", "not a directory");
  try {
    WriteSpoolFile((dir / "file" / "").string(), "2DC06B63", ".dd8", Bytes555());
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("file/2DC06B63.dd8"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace vorel
