#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "config/ini_file.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

// ---- integers and flags ----------------------------------------------------

struct IntegerCase {
  const char* text;
  std::optional<std::int32_t> expected;
};

class ParseIntegerTest : public testing::TestWithParam<IntegerCase> {};

TEST_P(ParseIntegerTest, ReadsOnlyWholeNumbers) {
  EXPECT_EQ(ParseInteger(GetParam().text), GetParam().expected) << "text: '" << GetParam().text << "'";
}

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Table, ParseIntegerTest,
    testing::Values(IntegerCase{"0", 0}, IntegerCase{"31", 31}, IntegerCase{"+5", 5}, IntegerCase{"-1", -1},
                    IntegerCase{"0010", 10}, IntegerCase{"-0", 0},
                    // hexadecimal with each prefix, a sign before the prefix
                    IntegerCase{"0x20", 32}, IntegerCase{"0X20", 32}, IntegerCase{"$20", 32},
                    IntegerCase{"$ff", 255}, IntegerCase{"0xAbC", 0xABC}, IntegerCase{"-$10", -16},
                    IntegerCase{"+0x10", 16}, IntegerCase{"$000000020", 32},
                    // 32-bit limits: decimal must fit, hexadecimal wraps round
                    IntegerCase{"2147483647", kMax}, IntegerCase{"-2147483648", kMin},
                    IntegerCase{"2147483648", std::nullopt}, IntegerCase{"-2147483649", std::nullopt},
                    IntegerCase{"99999999999999999999999", std::nullopt}, IntegerCase{"$7FFFFFFF", kMax},
                    IntegerCase{"$80000000", kMin}, IntegerCase{"$FFFFFFFF", -1}, IntegerCase{"-$FFFFFFFF", 1},
                    IntegerCase{"-$80000000", kMin}, IntegerCase{"$100000000", std::nullopt},
                    // not numbers
                    IntegerCase{"", std::nullopt}, IntegerCase{"32abc", std::nullopt},
                    IntegerCase{"true", std::nullopt}, IntegerCase{"yes", std::nullopt},
                    IntegerCase{"19.2k", std::nullopt}, IntegerCase{"1e3", std::nullopt},
                    IntegerCase{"1 2", std::nullopt}, IntegerCase{"-", std::nullopt}, IntegerCase{"+", std::nullopt},
                    IntegerCase{"$", std::nullopt}, IntegerCase{"0x", std::nullopt}, IntegerCase{"-$", std::nullopt},
                    IntegerCase{"$G", std::nullopt}, IntegerCase{"$-10", std::nullopt},
                    IntegerCase{"0x-1", std::nullopt}, IntegerCase{"--1", std::nullopt},
                    IntegerCase{"x20", std::nullopt}, IntegerCase{"$20h", std::nullopt}));

TEST(ReadIntegerTest, MissingOrEmptyOrNotANumberGivesTheDefault) {
  const IniFile ini = IniFile::Parse("[main]\nEmpty=\nWord=abc\nHex= $20 \nNeg=-7\n");
  EXPECT_EQ(ReadInteger(ini, "main", "Missing", 31), 31);
  EXPECT_EQ(ReadInteger(ini, "other", "Hex", 31), 31);
  EXPECT_EQ(ReadInteger(ini, "main", "Empty", 31), 31);
  EXPECT_EQ(ReadInteger(ini, "main", "Word", 31), 31);
  EXPECT_EQ(ReadInteger(ini, "main", "Hex", 31), 32);
  EXPECT_EQ(ReadInteger(ini, "main", "Neg", 31), -7);
}

TEST(ReadFlagTest, NumbersAreFlagsAndWordsGiveTheDefault) {
  const IniFile ini = IniFile::Parse(
      "[main]\nZero=0\nOne=1\nTwo=2\nMinus=-1\nHexZero=$0\nTrue=true\nYes=yes\nEmpty=\nOff=0x\n");
  for (bool byDefault : {false, true}) {
    SCOPED_TRACE(byDefault);
    EXPECT_FALSE(ReadFlag(ini, "main", "Zero", byDefault));
    EXPECT_FALSE(ReadFlag(ini, "main", "HexZero", byDefault));
    EXPECT_TRUE(ReadFlag(ini, "main", "One", byDefault));
    EXPECT_TRUE(ReadFlag(ini, "main", "Two", byDefault));
    EXPECT_TRUE(ReadFlag(ini, "main", "Minus", byDefault));
    EXPECT_EQ(ReadFlag(ini, "main", "True", byDefault), byDefault);
    EXPECT_EQ(ReadFlag(ini, "main", "Yes", byDefault), byDefault);
    EXPECT_EQ(ReadFlag(ini, "main", "Empty", byDefault), byDefault);
    EXPECT_EQ(ReadFlag(ini, "main", "Off", byDefault), byDefault);
    EXPECT_EQ(ReadFlag(ini, "main", "Missing", byDefault), byDefault);
  }
}

// ---- times -------------------------------------------------------------------

struct TimeCase {
  const char* text;
  std::optional<std::int64_t> seconds;  // nullopt: not a time
};

class ParseTimeTest : public testing::TestWithParam<TimeCase> {};

TEST_P(ParseTimeTest, ReadsHoursMinutesSeconds) {
  const auto time = ParseTime(GetParam().text);
  if (!GetParam().seconds) {
    EXPECT_FALSE(time.has_value()) << "'" << GetParam().text << "' read as " << *time;
  } else {
    ASSERT_TRUE(time.has_value()) << GetParam().text;
    EXPECT_DOUBLE_EQ(*time, static_cast<double>(*GetParam().seconds * 1000) / kMsecsPerDay) << GetParam().text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseTimeTest,
    testing::Values(TimeCase{"00:10:00", 600}, TimeCase{"00:00:30", 30}, TimeCase{"0:10", 600},
                    TimeCase{"1", 3600}, TimeCase{"0", 0}, TimeCase{"7:5:3", 7 * 3600 + 5 * 60 + 3},
                    TimeCase{"23:59:59", 86399}, TimeCase{"12:00", 43200},
                    TimeCase{"24:00", std::nullopt}, TimeCase{"25:00:00", std::nullopt},
                    TimeCase{"0:60", std::nullopt}, TimeCase{"0:0:60", std::nullopt},
                    TimeCase{"word", std::nullopt}, TimeCase{"", std::nullopt}, TimeCase{"1:", std::nullopt},
                    TimeCase{":10", std::nullopt}, TimeCase{"1::2", std::nullopt},
                    TimeCase{"1:2:3:4", std::nullopt}, TimeCase{"001:00", std::nullopt},
                    TimeCase{"0:010", std::nullopt}, TimeCase{"-1", std::nullopt}, TimeCase{"1.5", std::nullopt},
                    TimeCase{"0:10am", std::nullopt}, TimeCase{"1 :10", std::nullopt}));

TEST(ReadTimeTest, MissingKeyGivesTheDefaultAndBadValuesRaiseWithTheValue) {
  const IniFile ini = IniFile::Parse(
      "[main]\nHalfMinute = 00:00:30 \nLate=25:00:00\nWord=word\nEmpty=\nCyrillic=\xF1\xEB\xEE\xE2\xEE\n");
  EXPECT_DOUBLE_EQ(ReadTime(ini, "main", "HalfMinute", "00:10:00"), 30'000.0 / kMsecsPerDay);
  EXPECT_DOUBLE_EQ(ReadTime(ini, "main", "Missing", "00:10:00"), 600'000.0 / kMsecsPerDay);
  EXPECT_DOUBLE_EQ(ReadTime(IniFile(), "main", "Attention", "00:10:00"), 600'000.0 / kMsecsPerDay);

  const std::pair<const char*, const char*> bad[] = {
      {"Late", "'25:00:00' is not a valid time"},
      {"Word", "'word' is not a valid time"},
      {"Empty", "'' is not a valid time"},
      {"Cyrillic", "'слово' is not a valid time"},  // the message shows the text decoded
  };
  for (const auto& [key, message] : bad) {
    try {
      ReadTime(ini, "main", key, "00:10:00");
      ADD_FAILURE() << key << " did not raise";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), message);
    }
  }
}

// ---- the file format -----------------------------------------------------------

TEST(IniFileTest, NamesMatchWhateverTheirCase) {
  const IniFile ini = IniFile::Parse("[PORT]\ncomport=COM3\n[Main]\nSENDMIVO7=1\n");
  EXPECT_EQ(ini.Value("port", "ComPort"), "COM3");
  EXPECT_EQ(ini.Value("Port", "COMPORT"), "COM3");
  EXPECT_EQ(ini.Value("main", "SendMivo7"), "1");
  EXPECT_EQ(ini.Value("portUSB", "ComPort"), std::nullopt);
}

TEST(IniFileTest, BlanksAroundNamesAndValuesAreNotPartOfThem) {
  const IniFile ini = IniFile::Parse(
      "  [ port ]  \r\n"
      " \tComPort \t=\t COM3 \t\r\n"
      "host= my  host \r\n"
      "Path=a=b\r\n"
      "Empty=   \r\n");
  EXPECT_EQ(ini.Value("port", "ComPort"), "COM3");
  EXPECT_EQ(ini.Value("port", "host"), "my  host");
  EXPECT_EQ(ini.Value("port", "Path"), "a=b");
  EXPECT_EQ(ini.Value("port", "Empty"), "");  // present, and empty
}

TEST(IniFileTest, LfCrLfAndAMissingLastBreakReadAlike) {
  for (const char* text : {"[main]\nA=1\nB=2", "[main]\r\nA=1\r\nB=2\r\n", "[main]\r\nA=1\nB=2\r\n"}) {
    const IniFile ini = IniFile::Parse(text);
    EXPECT_EQ(ini.Value("main", "A"), "1") << text;
    EXPECT_EQ(ini.Value("main", "B"), "2") << text;
  }
}

TEST(IniFileTest, CommentsAndStrayLinesAreNotKeys) {
  const IniFile ini = IniFile::Parse(
      "ComPort=COM9\n"  // before any section
      "[port]\n"
      ";ComPort=COM1\n"
      "  # ComPort=COM2\n"
      "just text\n"
      "=value without key\n"
      "BaudRate=19200 ; not a comment after a value\n"
      "[port] ; a comment after the name\n");
  EXPECT_EQ(ini.Value("port", "ComPort"), std::nullopt);
  EXPECT_EQ(ini.Value("port", "BaudRate"), "19200 ; not a comment after a value");
  EXPECT_EQ(ini.Value("port", ""), std::nullopt);
}

TEST(IniFileTest, TheFirstOfDuplicateSectionsAndKeysWins) {
  const IniFile ini = IniFile::Parse(
      "[port]\nComPort=COM1\ncomport=COM2\n"
      "[main]\nLog=0\n"
      "[PORT]\nComPort=COM3\nBaudRate=19200\n");
  EXPECT_EQ(ini.Value("port", "ComPort"), "COM1");
  EXPECT_EQ(ini.Value("port", "BaudRate"), std::nullopt);  // only in the repeated section
  EXPECT_EQ(ini.Value("main", "Log"), "0");
}

TEST(IniFileTest, AUtf8ByteOrderMarkDoesNotHideTheFirstSection) {
  const IniFile ini = IniFile::Parse("\xEF\xBB\xBF[port]\r\nComPort=COM4\r\n");
  EXPECT_EQ(ini.Value("port", "ComPort"), "COM4");
}

TEST(IniFileTest, ValuesAreCutAfter2047Bytes) {
  const std::string ascii(3000, 'x');
  const std::string exact(kMaxIniValueLength, 'y');
  const std::string cp1251(3000, '\xFF');  // Windows-1251 "я"
  std::string utf8;
  for (int i = 0; i < 1500; ++i) utf8 += "я";  // two bytes each
  const IniFile ini =
      IniFile::Parse("[main]\nA=" + ascii + "\nB=" + exact + "\nC=" + cp1251 + "\nD=" + utf8 + "\n");

  EXPECT_EQ(ini.Value("main", "A"), std::string(2047, 'x'));
  EXPECT_EQ(ini.Value("main", "B"), exact);
  EXPECT_EQ(ini.Value("main", "C"), std::string(2047, '\xFF'));
  // A UTF-8 value stops before the character that 2047 bytes would split.
  EXPECT_EQ(ini.Value("main", "D"), utf8.substr(0, 2046));
  EXPECT_EQ(ReadText(ini, "main", "D", ""), utf8.substr(0, 2046));
}

TEST(ReadTextTest, DecodesWindows1251AndKeepsUtf8AndEmptyValues) {
  const IniFile ini = IniFile::Parse(
      "[main]\n"
      "Cp1251=\xCF\xF3\xF2\xFC\\\n"  // "Путь\" in Windows-1251
      "Utf8=Путь/\n"
      "host=\n");
  EXPECT_EQ(ReadText(ini, "main", "Cp1251", ""), "Путь\\");
  EXPECT_EQ(ReadText(ini, "main", "Utf8", ""), "Путь/");
  EXPECT_EQ(ReadText(ini, "main", "host", "localhost"), "");
  EXPECT_EQ(ReadText(ini, "main", "Missing", "localhost"), "localhost");
}

TEST(IniFileLoadTest, MissingOrUnreadableFilesAreEmpty) {
  test::TempDir dir;
  EXPECT_EQ(IniFile::Load(dir / "missing.ini").Value("main", "Log"), std::nullopt);
  EXPECT_EQ(IniFile::Load(dir.Path()).Value("main", "Log"), std::nullopt);  // a directory
  test::WriteFile(dir / "vorel.ini", "[main]\r\nLog=0\r\n");
  EXPECT_EQ(IniFile::Load(dir / "vorel.ini").Value("main", "Log"), "0");
}

}  // namespace
}  // namespace vorel
