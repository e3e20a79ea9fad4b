#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "config/ini_file.h"
#include "config/settings.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;

// ---- the bytes of a write ---------------------------------------------------------

struct WriteCase {
  const char* name;
  std::string before;
  const char* section;
  const char* key;
  const char* value;
  std::string after;
};

class SetIniValueTest : public testing::TestWithParam<WriteCase> {};

TEST_P(SetIniValueTest, ChangesOnlyTheOneValue) {
  const WriteCase& c = GetParam();
  const std::string after = SetIniValue(c.before, c.section, c.key, c.value);
  EXPECT_EQ(after, c.after);
  // What was written is what the reader then finds.
  EXPECT_EQ(IniFile::Parse(after).Value(c.section, c.key), c.value);
}

const WriteCase kWriteCases[] = {
    {"ReplacesTheValueKeepingSpacingAndComments",
     "; settings\r\n[port]\r\n  comport  =  COM1 \t\r\n; rate\r\nBaudRate=9600\r\n", "port", "ComPort", "COM7",
     "; settings\r\n[port]\r\n  comport  =  COM7 \t\r\n; rate\r\nBaudRate=9600\r\n"},
    {"ReplacesInTheRightSectionOnly", "[port]\nComPort=COM1\n\n[portUSB]\nComPort=COM2\nDTR=0\n", "portUSB",
     "ComPort", "COM4", "[port]\nComPort=COM1\n\n[portUSB]\nComPort=COM4\nDTR=0\n"},
    {"KeepsTheSpellingOfNames", "[PORT]\nCOMPORT=COM1\n", "port", "ComPort", "COM3", "[PORT]\nCOMPORT=COM3\n"},
    {"FillsAnEmptyValue", "[port]\nComPort=\nDTR=0\n", "port", "ComPort", "COM3", "[port]\nComPort=COM3\nDTR=0\n"},
    {"FillsABlankValue", "[port]\r\nComPort=   \r\n", "port", "ComPort", "COM3", "[port]\r\nComPort=COM3   \r\n"},
    {"ReplacesALastLineWithoutBreak", "[port]\nComPort=COM1", "port", "ComPort", "COM12", "[port]\nComPort=COM12"},
    {"ReplacesTheFirstOfDuplicateKeys", "[port]\nComPort=COM1\nComPort=COM2\n", "port", "ComPort", "COM3",
     "[port]\nComPort=COM3\nComPort=COM2\n"},
    {"WritesIntoTheFirstOfDuplicateSections", "[port]\nBaudRate=9600\n[main]\nLog=1\n[Port]\nComPort=COM2\n", "port",
     "ComPort", "COM3", "[port]\nBaudRate=9600\nComPort=COM3\n[main]\nLog=1\n[Port]\nComPort=COM2\n"},
    {"InsertsAfterTheLastNonBlankLineOfTheSection", "[port]\r\nBaudRate=9600\r\n; end of port\r\n\r\n[main]\r\nLog=1\r\n",
     "port", "ComPort", "COM3",
     "[port]\r\nBaudRate=9600\r\n; end of port\r\nComPort=COM3\r\n\r\n[main]\r\nLog=1\r\n"},
    {"InsertsUnderABareSectionLine", "[port]\n[main]\n", "port", "ComPort", "COM3", "[port]\nComPort=COM3\n[main]\n"},
    {"DoesNotTakeACommentedKey", "[port]\n;ComPort=COM1\n", "port", "ComPort", "COM3",
     "[port]\n;ComPort=COM1\nComPort=COM3\n"},
    {"InsertsAtTheEndOfAFileWithoutFinalBreak", "[port]\r\nBaudRate=9600", "port", "ComPort", "COM3",
     "[port]\r\nBaudRate=9600\r\nComPort=COM3\r\n"},
    {"AppendsAMissingSection", "[main]\nComPort=X\n", "port", "ComPort", "COM3",
     "[main]\nComPort=X\n[port]\nComPort=COM3\n"},
    {"AppendsAfterAddingTheMissingFinalBreak", "[main]\r\nLog=1", "portUSB", "ComPort", "COM4",
     "[main]\r\nLog=1\r\n[portUSB]\r\nComPort=COM4\r\n"},
    {"StartsAnEmptyFileWithCrLf", "", "port", "ComPort", "COM3", "[port]\r\nComPort=COM3\r\n"},
    {"UsesTheLineBreakOfTheFirstLine", "[main]\r\nLog=1\nOKAY=1\n", "port", "ComPort", "COM3",
     "[main]\r\nLog=1\nOKAY=1\n[port]\r\nComPort=COM3\r\n"},
    {"KeepsAByteOrderMark", "\xEF\xBB\xBF[port]\nComPort=COM1\n", "port", "ComPort", "COM2",
     "\xEF\xBB\xBF[port]\nComPort=COM2\n"},
    {"WritesAnEmptyValue", "[port]\nComPort=COM1\n", "port", "ComPort", "", "[port]\nComPort=\n"},
};

INSTANTIATE_TEST_SUITE_P(Table, SetIniValueTest, testing::ValuesIn(kWriteCases),
                         [](const testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

TEST(SetIniValueRefusalTest, AValueWithALineBreakIsNotWritten) {
  for (const std::string& value : {std::string("COM3\r\n[main]"), std::string("COM3\nLog=0"), std::string("COM3\0", 5)})
    EXPECT_THROW(SetIniValue("[port]\nComPort=COM1\n", "port", "ComPort", value), std::invalid_argument);
}

// ---- the file -------------------------------------------------------------------------

class WriteIniFileTest : public testing::Test {
 protected:
  fs::path File() const { return dir_ / "vorel.ini"; }
  static ino_t Inode(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(stat(file.c_str(), &st), 0) << file;
    return st.st_ino;
  }
  static mode_t Mode(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(stat(file.c_str(), &st), 0) << file;
    return st.st_mode & 07777;
  }
  // Entries of the test directory: a write must leave no temporary file.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.Path())) names.push_back(entry.path().filename().string());
    return names;
  }
  std::string ErrorOf(const std::function<void()>& write) {
    try {
      write();
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "no error";
  }

  test::TempDir dir_;
};

TEST_F(WriteIniFileTest, CreatesAMissingFileWithCrLfAndTheUsualPermissions) {
  SavePortName(File(), PortId::Main, "COM3");
  EXPECT_EQ(test::ReadFile(File()), "[port]\r\nComPort=COM3\r\n");
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(Mode(File()), 0666 & ~mask);
  EXPECT_EQ(Entries(), std::vector<std::string>{"vorel.ini"});
}

TEST_F(WriteIniFileTest, KeepsEveryOtherByteOfTheSampleWithCrLfOrLf) {
  const std::string sampleLf = test::ReadFile(VOREL_SAMPLE_INI);
  std::string sampleCrLf;
  for (char c : sampleLf) sampleCrLf += c == '\n' ? std::string("\r\n") : std::string(1, c);

  for (const std::string& sample : {sampleLf, sampleCrLf}) {
    test::WriteFile(File(), sample);
    SavePortName(File(), PortId::Second, "COM4");
    // The second "ComPort=COM255" is that of section portUSB.
    std::string expected = sample;
    const std::size_t second = expected.find("ComPort=COM255", expected.find("ComPort=COM255") + 1);
    expected.replace(second, 14, "ComPort=COM4");
    EXPECT_EQ(test::ReadFile(File()), expected);

    SavePortName(File(), PortId::Main, "/dev/ttyUSB0");
    Settings settings;
    LoadSettings(File(), settings);
    EXPECT_EQ(settings.port.ComPort, "/dev/ttyUSB0");
    EXPECT_EQ(settings.portUSB.ComPort, "COM4");
  }
}

TEST_F(WriteIniFileTest, StoresTheNameAsWindows1251) {
  test::WriteFile(File(), "[portUSB]\nComPort=COM1\n");
  SavePortName(File(), PortId::Second, "Порт");
  EXPECT_EQ(test::ReadFile(File()), "[portUSB]\nComPort=\xCF\xEE\xF0\xF2\n");
  Settings settings;
  LoadSettings(File(), settings);
  EXPECT_EQ(settings.portUSB.ComPort, "Порт");
}

TEST_F(WriteIniFileTest, ReplacesTheFileByRenameKeepingItsModeAndOwner) {
  test::WriteFile(File(), "[port]\nComPort=COM1\n");
  ASSERT_EQ(chmod(File().c_str(), 0604), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(File().c_str(), 65534, 65534), 0);
  }
  const ino_t before = Inode(File());

  SavePortName(File(), PortId::Main, "COM2");

  EXPECT_EQ(test::ReadFile(File()), "[port]\nComPort=COM2\n");
  EXPECT_NE(Inode(File()), before);  // a new file took the old one's place
  EXPECT_EQ(Mode(File()), 0604u);
  if (root) {
    struct stat st {};
    ASSERT_EQ(stat(File().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
  }
  EXPECT_EQ(Entries(), std::vector<std::string>{"vorel.ini"});
}

TEST_F(WriteIniFileTest, ASymbolicLinkStaysALink) {
  fs::create_directory(dir_ / "real");
  test::WriteFile(dir_ / "real" / "station.ini", "[port]\nComPort=COM1\n");
  fs::create_symlink("real/station.ini", File());
  SavePortName(File(), PortId::Main, "COM5");
  EXPECT_TRUE(fs::is_symlink(File()));
  EXPECT_EQ(test::ReadFile(dir_ / "real" / "station.ini"), "[port]\nComPort=COM5\n");
}

TEST_F(WriteIniFileTest, AReaderSeesTheOldFileOrTheNewOneNeverAPart) {
  // The protocol-8 link thread reads the file while the operator saves a name.
  const std::string sample = test::ReadFile(VOREL_SAMPLE_INI);
  const std::string shortName = "COM1";
  const std::string longName(1500, 'L');
  const std::string withShort = SetIniValue(sample, "port", "ComPort", shortName);
  const std::string withLong = SetIniValue(sample, "port", "ComPort", longName);
  test::WriteFile(File(), withShort);

  std::atomic<bool> done{false};
  int reads = 0;
  int torn = 0;
  std::thread reader([&] {
    while (!done.load()) {
      const std::string seen = test::ReadFile(File());
      ++reads;
      if (seen != withShort && seen != withLong) ++torn;
    }
  });
  for (int i = 0; i < 200; ++i) SavePortName(File(), PortId::Main, i % 2 == 0 ? longName : shortName);
  done = true;
  reader.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(test::ReadFile(File()), withShort);
}

TEST_F(WriteIniFileTest, ALineBreakInTheNameFailsAndLeavesTheFile) {
  test::WriteFile(File(), "[port]\nComPort=COM1\n");
  EXPECT_EQ(ErrorOf([&] { SavePortName(File(), PortId::Main, "COM2\nLog=0"); }),
            "Unable to write to " + File().string());
  EXPECT_EQ(test::ReadFile(File()), "[port]\nComPort=COM1\n");
}

TEST_F(WriteIniFileTest, FailureNamesTheFullPath) {
  // Failures that hold for root too: the name is a directory, or a regular
  // file stands where a directory should be.
  fs::create_directory(File());
  EXPECT_EQ(ErrorOf([&] { SavePortName(File(), PortId::Main, "COM2"); }), "Unable to write to " + File().string());
  EXPECT_TRUE(fs::is_directory(File()));

  test::WriteFile(dir_ / "plain", "");
  EXPECT_EQ(ErrorOf([&] { SavePortName(dir_ / "plain" / "vorel.ini", PortId::Main, "COM2"); }),
            "Unable to write to " + (dir_ / "plain" / "vorel.ini").string());
  EXPECT_EQ(Entries().size(), 2u);  // nothing left behind
}

TEST_F(WriteIniFileTest, ARelativeNameIsReportedWithTheWorkingDirectory) {
  fs::create_directory(File());
  const fs::path before = fs::current_path();
  fs::current_path(dir_.Path());
  const std::string error = ErrorOf([] { SavePortName(kIniFileName, PortId::Second, "COM2"); });
  fs::current_path(before);
  EXPECT_EQ(error, "Unable to write to " + (dir_.Path() / "vorel.ini").string());
}

// Runs `action` in a child process without root's privileges, so that the
// permission bits hold for it; the child's exit code.
int RunUnprivileged(const std::function<int()>& action) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(90);
    int code = 91;
    try {
      code = action();
    } catch (...) {
      code = 92;
    }
    _exit(code);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(WriteIniFileTest, ADirectoryWithoutWriteAccessGetsTheFileRewrittenInPlace) {
  const fs::path locked = dir_ / "locked";
  fs::create_directory(locked);
  const fs::path file = locked / "vorel.ini";
  test::WriteFile(file, "; kept\n[port]\nComPort=COM1\nBaudRate=9600\n");
  ASSERT_EQ(chmod(file.c_str(), 0666), 0);
  ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
  const ino_t before = Inode(file);

  EXPECT_EQ(RunUnprivileged([&] {
              SavePortName(file, PortId::Main, "COM12");
              return 0;
            }),
            0);
  EXPECT_EQ(test::ReadFile(file), "; kept\n[port]\nComPort=COM12\nBaudRate=9600\n");
  EXPECT_EQ(Inode(file), before);

  // And back to a shorter name: the file is cut to its new length.
  EXPECT_EQ(RunUnprivileged([&] {
              SavePortName(file, PortId::Main, "COM1");
              return 0;
            }),
            0);
  EXPECT_EQ(test::ReadFile(file), "; kept\n[port]\nComPort=COM1\nBaudRate=9600\n");
}

TEST_F(WriteIniFileTest, AReadOnlyFileInAReadOnlyDirectoryFailsWithItsPath) {
  const fs::path locked = dir_ / "locked";
  fs::create_directory(locked);
  const fs::path file = locked / "vorel.ini";
  test::WriteFile(file, "[port]\nComPort=COM1\n");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
  const std::string expected = "Unable to write to " + file.string();

  EXPECT_EQ(RunUnprivileged([&] {
              try {
                SavePortName(file, PortId::Main, "COM2");
              } catch (const std::runtime_error& error) {
                return error.what() == expected ? 0 : 1;
              }
              return 2;
            }),
            0);
  EXPECT_EQ(test::ReadFile(file), "[port]\nComPort=COM1\n");
}

}  // namespace
}  // namespace vorel
