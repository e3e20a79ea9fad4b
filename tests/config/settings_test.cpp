#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "config/settings.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

constexpr double kSecond = 1000.0 / kMsecsPerDay;

class SettingsFileTest : public testing::Test {
 protected:
  Settings Load(const std::string& text) {
    test::WriteFile(dir_ / "vorel.ini", text);
    Settings settings;
    LoadSettings(dir_ / "vorel.ini", settings);
    return settings;
  }
  test::TempDir dir_;
};

TEST_F(SettingsFileTest, MissingFileGivesEveryDefault) {
  Settings settings;
  settings.port.ComPort = "COM1";  // values of an earlier load are replaced
  settings.host = "elsewhere";
  settings.Attention = 1.0;
  LoadSettings(dir_ / "vorel.ini", settings);
  EXPECT_EQ(settings, Settings());
  EXPECT_EQ(settings.port.ComPort, "COM255");
  EXPECT_EQ(settings.portUSB.ComPort, "COM255");
  EXPECT_DOUBLE_EQ(settings.Attention, 600 * kSecond);
  EXPECT_EQ(ReadServerAddress(dir_ / "vorel.ini"), (ServerAddress{"127.0.0.1", 12543}));
}

// All but the replay's pace, which the sample sets fast (a backlog after an
// outage reaches the servers in a minute instead of half an hour), and the
// packet cut at a frame's end on both ports.
TEST_F(SettingsFileTest, TheShippedSampleHoldsTheDefaultsAndAFastReplay) {
  Settings settings;
  LoadSettings(VOREL_SAMPLE_INI, settings);
  Settings expected;
  expected.SoobPerTick = 50;
  // A station that waits for each ACK is served at the line's speed.
  expected.port.CutAtFrameEnd = true;
  expected.portUSB.CutAtFrameEnd = true;
  EXPECT_EQ(settings, expected);
  EXPECT_EQ(ReadServerAddress(VOREL_SAMPLE_INI), ServerAddress());
}

TEST_F(SettingsFileTest, EveryKeyIsReadFromItsSection) {
  const Settings s = Load(
      "[port]\r\nComPort=COM3\r\nBaudRate=19200\r\nDataBits=7\r\nParity=N\r\nStopBits=2\r\nDTR=1\r\n"
      "CutAtFrameEnd=1\r\n"
      "[portUSB]\r\nComPort=COM4\r\nBaudRate=115200\r\nDataBits=8\r\nParity=N\r\nStopBits=1\r\nDTR=0\r\n"
      "[main]\r\nn_abs=7\r\nLog=0\r\nOKAY=0\r\nSendMivo7=1\r\nSendMivo8=0\r\nNotSendToDiskMivo8=1\r\n"
      "FirstNumber=12\r\nPathForSoob=/var/spool/vorel/\r\nAttention=0:05\r\nhost=10.0.0.9\r\n");
  EXPECT_EQ(s.port, (PortSettings{"COM3", "19200", "7", "N", "2", true, true}));
  EXPECT_EQ(s.portUSB, (PortSettings{"COM4", "115200", "8", "N", "1", false}));
  EXPECT_EQ(s.n_abs, 7);
  EXPECT_FALSE(s.Log);
  EXPECT_FALSE(s.OKAY);
  EXPECT_TRUE(s.SendMivo7);
  EXPECT_FALSE(s.SendMivo8);
  EXPECT_TRUE(s.NotSendToDiskMivo8);
  EXPECT_EQ(s.FirstNumber, 12);
  EXPECT_EQ(s.PathForSoob, "/var/spool/vorel/");
  EXPECT_DOUBLE_EQ(s.Attention, 300 * kSecond);
  EXPECT_EQ(s.host, "10.0.0.9");
}

// One row per edge case of the file: the lines of one section and what the
// driver then holds.
struct EdgeCase {
  const char* name;
  const char* text;
  std::function<void(const Settings&)> check;
};

class SettingsEdgeCaseTest : public testing::TestWithParam<EdgeCase> {};

TEST_P(SettingsEdgeCaseTest, Holds) {
  test::TempDir dir;
  test::WriteFile(dir / "vorel.ini", GetParam().text);
  Settings settings;
  LoadSettings(dir / "vorel.ini", settings);
  GetParam().check(settings);
}

const EdgeCase kEdgeCases[] = {
    {"SendMivo7True", "[main]\nSendMivo7=true\n", [](const Settings& s) { EXPECT_FALSE(s.SendMivo7); }},
    {"SendMivo7One", "[main]\nSendMivo7=1\n", [](const Settings& s) { EXPECT_TRUE(s.SendMivo7); }},
    {"SendMivo8Yes", "[main]\nSendMivo8=yes\n", [](const Settings& s) { EXPECT_TRUE(s.SendMivo8); }},
    {"LogEmpty", "[main]\nLog=\nOKAY=0\n",
     [](const Settings& s) {
       EXPECT_TRUE(s.Log);
       EXPECT_FALSE(s.OKAY);
     }},
    {"FirstNumberHex0x", "[main]\nFirstNumber=0x20\n", [](const Settings& s) { EXPECT_EQ(s.FirstNumber, 32); }},
    {"FirstNumberDollar", "[main]\nFirstNumber=$20\n", [](const Settings& s) { EXPECT_EQ(s.FirstNumber, 32); }},
    {"FirstNumberTrailing", "[main]\nFirstNumber=32abc\n", [](const Settings& s) { EXPECT_EQ(s.FirstNumber, 31); }},
    {"IntegerEmpty", "[main]\nn_abs=\nFirstNumber=\n",
     [](const Settings& s) {
       EXPECT_EQ(s.n_abs, -1);
       EXPECT_EQ(s.FirstNumber, 31);
     }},
    {"LowerCaseCom255", "[port]\nComPort=com255\n",
     [](const Settings& s) {
       EXPECT_EQ(s.port.ComPort, "com255");
       EXPECT_NE(s.port.ComPort, kNoPortName);
     }},
    {"ComPortEmpty", "[port]\nComPort=\n", [](const Settings& s) { EXPECT_EQ(s.port.ComPort, ""); }},
    {"PathForSoobWithoutSeparator", "[main]\nPathForSoob=C:\\spool\n",
     [](const Settings& s) { EXPECT_EQ(s.PathForSoob, "C:\\spool"); }},
    {"AttentionHalfMinute", "[main]\nAttention=00:00:30\n",
     [](const Settings& s) { EXPECT_DOUBLE_EQ(s.Attention, 30 * kSecond); }},
    {"AttentionTenMinutes", "[main]\nAttention=0:10\n",
     [](const Settings& s) { EXPECT_DOUBLE_EQ(s.Attention, 600 * kSecond); }},
    {"AttentionOneHour", "[main]\nAttention=1\n", [](const Settings& s) { EXPECT_DOUBLE_EQ(s.Attention, 3600 * kSecond); }},
    {"HostEmpty", "[main]\nhost=\n", [](const Settings& s) { EXPECT_EQ(s.host, ""); }},
    {"SoobPerTickFast", "[main]\nSoobPerTick=50\n", [](const Settings& s) { EXPECT_EQ(s.SoobPerTick, 50); }},
    {"SoobPerTickNone", "[main]\nSoobPerTick=0\n", [](const Settings& s) { EXPECT_EQ(s.SoobPerTick, 1); }},
    {"SoobPerTickNegative", "[main]\nSoobPerTick=-5\n", [](const Settings& s) { EXPECT_EQ(s.SoobPerTick, 1); }},
    {"SoobPerTickHuge", "[main]\nSoobPerTick=99999\n",
     [](const Settings& s) { EXPECT_EQ(s.SoobPerTick, kMaxSoobPerTick); }},
    {"CutAtFrameEndWord", "[port]\nCutAtFrameEnd=yes\n[portUSB]\nCutAtFrameEnd=2\n",
     [](const Settings& s) {
       EXPECT_FALSE(s.port.CutAtFrameEnd);
       EXPECT_TRUE(s.portUSB.CutAtFrameEnd);
     }},
    {"SecondPortOnItsOwn", "[portUSB]\nComPort=COM7\nDTR=1\n",
     [](const Settings& s) {
       EXPECT_EQ(s.portUSB.ComPort, "COM7");
       EXPECT_TRUE(s.portUSB.DTR);
       EXPECT_EQ(s.port, PortSettings());
     }},
};

INSTANTIATE_TEST_SUITE_P(Table, SettingsEdgeCaseTest, testing::ValuesIn(kEdgeCases),
                         [](const testing::TestParamInfo<EdgeCase>& info) { return std::string(info.param.name); });

TEST_F(SettingsFileTest, BadAttentionStopsTheLoadWithEarlierKeysSetAndHostUntouched) {
  for (const char* attention : {"25:00:00", "word", ""}) {
    SCOPED_TRACE(attention);
    test::WriteFile(dir_ / "vorel.ini", std::string("[port]\nComPort=COM3\n[portUSB]\nDTR=1\n"
                                                    "[main]\nn_abs=5\nPathForSoob=/spool/\nAttention=") +
                                            attention + "\nhost=server\n");
    Settings settings;
    try {
      LoadSettings(dir_ / "vorel.ini", settings);
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), std::string("'") + attention + "' is not a valid time");
    }
    EXPECT_EQ(settings.port.ComPort, "COM3");
    EXPECT_TRUE(settings.portUSB.DTR);
    EXPECT_EQ(settings.n_abs, 5);
    EXPECT_EQ(settings.PathForSoob, "/spool/");
    EXPECT_DOUBLE_EQ(settings.Attention, Settings().Attention);
    EXPECT_EQ(settings.host, "localhost");
  }
}

TEST_F(SettingsFileTest, ServerAddressComesFromItsOwnSection) {
  const auto read = [this](const std::string& text) {
    test::WriteFile(dir_ / "vorel.ini", text);
    return ReadServerAddress(dir_ / "vorel.ini");
  };
  EXPECT_EQ(read("[main]\nhost=a\nPort=1\n"), (ServerAddress{"127.0.0.1", 12543}));
  EXPECT_EQ(read("[serverhost]\naddress = 192.168.1.5 \nPORT=$3000\n"), (ServerAddress{"192.168.1.5", 0x3000}));
  EXPECT_EQ(read("[ServerHost]\nAddress=\nPort=http\n"), (ServerAddress{"", 12543}));
}

}  // namespace
}  // namespace vorel
