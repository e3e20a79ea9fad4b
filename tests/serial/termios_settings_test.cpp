// The mapping of line settings onto a termios structure, without a device.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "serial/termios_settings.h"

namespace vorel {
namespace {

namespace ts = termios_setup;

// A structure as a terminal might hand it over: cooked, echoing, translating.
termios Cooked() {
  termios t;
  std::memset(&t, 0, sizeof t);
  t.c_iflag = ICRNL | IXON | ISTRIP | INPCK | IGNBRK;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = CS7 | PARENB | HUPCL | CSTOPB | CRTSCTS;
  t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 5;
  cfsetospeed(&t, B38400);
  cfsetispeed(&t, B38400);
  return t;
}

TEST(TermiosSettings, RawPassesEveryByteUnchanged) {
  termios t = Cooked();
  ts::StoreRaw(t);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(TermiosSettings, ByteSize) {
  const std::vector<std::pair<int, tcflag_t>> cases = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};
  for (const auto& [bits, flag] : cases) {
    termios t = Cooked();
    ASSERT_TRUE(ts::StoreByteSize(t, bits)) << bits;
    EXPECT_EQ(t.c_cflag & CSIZE, flag) << bits;
  }
  termios t = Cooked();
  EXPECT_FALSE(ts::StoreByteSize(t, 4));
  EXPECT_FALSE(ts::StoreByteSize(t, 9));
}

TEST(TermiosSettings, Parity) {
  const std::vector<std::pair<TParity, tcflag_t>> cases = {
      {ptNONE, 0},
      {ptODD, PARENB | PARODD},
      {ptEVEN, PARENB},
      {ptMARK, PARENB | PARODD | CMSPAR},
      {ptSPACE, PARENB | CMSPAR},
  };
  for (const auto& [parity, flags] : cases) {
    termios t = Cooked();
    t.c_cflag |= PARODD | CMSPAR;  // left over from an earlier setting
    ASSERT_TRUE(ts::StoreParity(t, parity)) << int(parity);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), flags) << int(parity);
    EXPECT_EQ(t.c_iflag & (INPCK | ISTRIP | PARMRK), 0u) << "received bytes are not altered";
  }
  termios t = Cooked();
  EXPECT_FALSE(ts::StoreParity(t, static_cast<TParity>(5)));
}

TEST(TermiosSettings, StopBits) {
  termios t = Cooked();
  ASSERT_TRUE(ts::StoreStopBits(t, sb1BITS));
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
  ASSERT_TRUE(ts::StoreStopBits(t, sb1HALFBITS));
  EXPECT_EQ(t.c_cflag & CSTOPB, tcflag_t(CSTOPB));
  t.c_cflag &= ~CSTOPB;
  ASSERT_TRUE(ts::StoreStopBits(t, sb2BITS));
  EXPECT_EQ(t.c_cflag & CSTOPB, tcflag_t(CSTOPB));
  EXPECT_FALSE(ts::StoreStopBits(t, static_cast<TStopBits>(3)));
}

TEST(TermiosSettings, FlowControl) {
  struct Case {
    THwFlowControl hw;
    TSwFlowControl sw;
    bool crtscts;
    bool xonxoff;
  };
  const std::vector<Case> cases = {
      {hfNONE, sfNONE, false, false},   {hfNONERTSON, sfNONE, false, false}, {hfRTSCTS, sfNONE, true, false},
      {hfRTSTOG, sfNONE, false, false}, {hfNONERTSON, sfXONXOFF, false, true}, {hfRTSCTS, sfXONXOFF, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "hw " << int(c.hw) << " sw " << int(c.sw));
    termios t = Cooked();
    ASSERT_TRUE(ts::StoreFlowControl(t, c.hw, c.sw, 0x11, 0x13));
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.crtscts);
    EXPECT_EQ((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF), c.xonxoff);
    if (!c.xonxoff) {
      EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
    } else {
      EXPECT_EQ(t.c_cc[VSTART], 0x11);
      EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    }
  }
}

TEST(TermiosSettings, SpeedStandardOrArbitrary) {
  const std::vector<std::pair<std::uint32_t, speed_t>> standard = {
      {110, B110},     {300, B300},       {600, B600},       {1200, B1200},
      {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
      {38400, B38400}, {57600, B57600},   {115200, B115200}, {230400, B230400},
  };
  for (const auto& [rate, constant] : standard) {
    termios t = Cooked();
    t.c_cflag |= CIBAUD;  // an input rate left by the arbitrary-rate interface
    ASSERT_TRUE(ts::StoreSpeed(t, rate)) << rate;
    EXPECT_EQ(cfgetospeed(&t), constant) << rate;
    EXPECT_EQ(cfgetispeed(&t), constant) << rate;
    EXPECT_EQ(t.c_cflag & CIBAUD, 0u) << "input rate follows the output rate";
  }
  for (std::uint32_t rate : {14400u, 56000u, 128000u, 256000u, 31250u, 0u}) {
    termios t = Cooked();
    EXPECT_FALSE(ts::StoreSpeed(t, rate)) << rate;
    EXPECT_EQ(cfgetospeed(&t), speed_t(B38400)) << "left alone";
  }
}

TEST(TermiosSettings, StoreSettingsWholeAndInvalid) {
  DeviceSettings s;
  s.baudRate = 9600;
  s.byteSize = 7;
  s.parity = ptEVEN;
  s.stopBits = sb2BITS;
  s.hwFlow = hfRTSCTS;
  s.swFlow = sfNONE;
  termios t = Cooked();
  ASSERT_EQ(ts::StoreSettings(t, s), ts::StoreResult::Ok);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS7));
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), tcflag_t(PARENB));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));

  s.baudRate = 14400;
  t = Cooked();
  EXPECT_EQ(ts::StoreSettings(t, s), ts::StoreResult::NeedsArbitraryRate);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS7)) << "the rest is stored all the same";

  for (auto broken : {+[](DeviceSettings& d) { d.baudRate = 0; }, +[](DeviceSettings& d) { d.byteSize = 9; },
                      +[](DeviceSettings& d) { d.parity = static_cast<TParity>(7); },
                      +[](DeviceSettings& d) { d.hwFlow = static_cast<THwFlowControl>(4); }}) {
    DeviceSettings bad = s;
    broken(bad);
    t = Cooked();
    EXPECT_EQ(ts::StoreSettings(t, bad), ts::StoreResult::Invalid);
  }
}

}  // namespace
}  // namespace vorel
