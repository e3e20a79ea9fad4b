// The line-setting texts of "vorel.ini" as choices for the serial component.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "config/settings.h"
#include "station/line_settings.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

TEST(LineSettingsTest, OnlyTheListedTextsAreKnown) {
  PortSettings port;
  const std::pair<const char*, TBaudRate> rates[] = {
      {"110", br110},       {"300", br300},       {"600", br600},       {"1200", br1200},
      {"2400", br2400},     {"4800", br4800},     {"9600", br9600},     {"14400", br14400},
      {"19200", br19200},   {"38400", br38400},   {"56000", br56000},   {"57600", br57600},
      {"115200", br115200}, {"128000", br128000}, {"256000", br256000},
  };
  for (const auto& [text, rate] : rates) {
    port.BaudRate = text;
    EXPECT_EQ(ParseLineSettings(port).baudRate, rate) << text;
  }
  for (const char* text : {"", "0", "19.2k", "019200", "+9600", "-9600", " 9600", "230400", "9600 baud", "0x2580",
                           "4294976896" /* 9600 + 2^32 */}) {
    port.BaudRate = text;
    EXPECT_EQ(ParseLineSettings(port).baudRate, std::nullopt) << text;
  }
  const std::pair<const char*, std::optional<TDataBits>> bits[] = {
      {"5", db5BITS}, {"6", db6BITS}, {"7", db7BITS}, {"8", db8BITS}, {"4", std::nullopt}, {"9", std::nullopt},
      {"08", std::nullopt}, {"", std::nullopt}};
  for (const auto& [text, value] : bits) {
    port.DataBits = text;
    EXPECT_EQ(ParseLineSettings(port).dataBits, value) << text;
  }
  for (const char* text : {"N", "n", "E", "O", "M", "S", ""}) {
    port.Parity = text;
    EXPECT_EQ(ParseLineSettings(port).parity, ptNONE) << text;
  }
  const std::pair<const char*, TStopBits> stops[] = {{"1", sb1BITS}, {"2", sb2BITS}, {"1.5", sb1BITS},
                                                      {"02", sb1BITS}, {"two", sb1BITS}, {"", sb1BITS}};
  for (const auto& [text, value] : stops) {
    port.StopBits = text;
    EXPECT_EQ(ParseLineSettings(port).stopBits, value) << text;
  }
}

// One row per line of the file and the choice the main port then gets.
struct FileCase {
  const char* name;
  const char* text;
  std::optional<TBaudRate> baudRate;
  std::optional<TDataBits> dataBits;
  TParity parity;
  TStopBits stopBits;
};

class LineSettingsFromTheFileTest : public testing::TestWithParam<FileCase> {};

TEST_P(LineSettingsFromTheFileTest, Chooses) {
  test::TempDir dir;
  test::WriteFile(dir / "vorel.ini", GetParam().text);
  Settings settings;
  LoadSettings(dir / "vorel.ini", settings);
  const LineSettingsChoice choice = ParseLineSettings(settings.port);
  EXPECT_EQ(choice.baudRate, GetParam().baudRate);
  EXPECT_EQ(choice.dataBits, GetParam().dataBits);
  EXPECT_EQ(choice.parity, GetParam().parity);
  EXPECT_EQ(choice.stopBits, GetParam().stopBits);
}

const FileCase kFileCases[] = {
    {"BaudRateBlanks", "[port]\nBaudRate= 19200 \n", br19200, db8BITS, ptNONE, sb1BITS},
    // The component keeps 9600; the other settings still apply.
    {"BaudRateNotListed", "[port]\nBaudRate=19.2k\nDataBits=7\n", std::nullopt, db7BITS, ptNONE, sb1BITS},
    {"ParityE", "[port]\nParity=E\n", br9600, db8BITS, ptNONE, sb1BITS},
    {"StopBitsOneAndHalf", "[port]\nStopBits=1.5\n", br9600, db8BITS, ptNONE, sb1BITS},
    {"StopBitsTwo", "[port]\nStopBits=2\n", br9600, db8BITS, ptNONE, sb2BITS},
};

INSTANTIATE_TEST_SUITE_P(Table, LineSettingsFromTheFileTest, testing::ValuesIn(kFileCases),
                         [](const testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorel
