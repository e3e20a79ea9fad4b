// Properties, opening and closing, line settings and sending of the serial
// component, against a fake device and a fake clock.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serial/CPDrv.h"
#include "serial/fake_serial_device.h"
#include "support/fake_clock.h"

namespace vorel {
namespace {

class CommPortDriverTest : public ::testing::Test {
 protected:
  CommPortDriverTest() {
    auto device = std::make_unique<test::FakeSerialDevice>(&clock);
    dev = device.get();
    port = std::make_unique<TCommPortDriver>(nullptr, clock, std::move(device));
    port->SetPortName("\\\\.\\COM1");
  }

  test::FakeClock clock{46000.5, 5000};
  test::FakeSerialDevice* dev = nullptr;
  std::unique_ptr<TCommPortDriver> port;
};

// --- property rules ---------------------------------------------------------

TEST_F(CommPortDriverTest, ClampsAndSpecialValuesOnClosedPort) {
  struct Case {
    const char* what;
    std::function<void(TCommPortDriver&)> set;
    std::function<long long(const TCommPortDriver&)> get;
    long long expected;
  };
  const std::vector<Case> cases = {
      {"PollingDelay 1", [](auto& p) { p.SetPollingDelay(1); }, [](auto& p) { return p.PollingDelay(); }, 5},
      {"PollingDelay 0", [](auto& p) { p.SetPollingDelay(0); }, [](auto& p) { return p.PollingDelay(); }, 5},
      {"PollingDelay 7", [](auto& p) { p.SetPollingDelay(7); }, [](auto& p) { return p.PollingDelay(); }, 7},
      {"InBufSize 100", [](auto& p) { p.SetInBufSize(100); }, [](auto& p) { return p.InBufSize(); }, 128},
      {"InBufSize 10000", [](auto& p) { p.SetInBufSize(10000); }, [](auto& p) { return p.InBufSize(); }, 8192},
      {"InBufSize 4096", [](auto& p) { p.SetInBufSize(4096); }, [](auto& p) { return p.InBufSize(); }, 4096},
      {"OutBufSize 100", [](auto& p) { p.SetOutBufSize(100); }, [](auto& p) { return p.OutBufSize(); }, 128},
      {"OutBufSize 10000", [](auto& p) { p.SetOutBufSize(10000); }, [](auto& p) { return p.OutBufSize(); }, 8192},
      {"OutBufSize 300", [](auto& p) { p.SetOutBufSize(300); }, [](auto& p) { return p.OutBufSize(); }, 300},
      {"PacketSize 0", [](auto& p) { p.SetPacketSize(0); }, [](auto& p) { return p.PacketSize(); }, -1},
      {"PacketSize -5", [](auto& p) { p.SetPacketSize(-5); }, [](auto& p) { return p.PacketSize(); }, -1},
      {"PacketSize 1", [](auto& p) { p.SetPacketSize(1); }, [](auto& p) { return p.PacketSize(); }, 1},
      {"PacketSize 4000 grows buffer", [](auto& p) { p.SetPacketSize(4000); },
       [](auto& p) { return p.InBufSize(); }, 4000},
      {"PacketSize 20000 capped", [](auto& p) { p.SetPacketSize(20000); }, [](auto& p) { return p.PacketSize(); },
       8192},
      {"InBufSize below PacketSize grows back",
       [](auto& p) {
         p.SetPacketSize(256);
         p.SetInBufSize(128);
       },
       [](auto& p) { return p.InBufSize(); }, 256},
      {"PacketTimeout 0", [](auto& p) { p.SetPacketTimeout(0); }, [](auto& p) { return p.PacketTimeout(); }, -1},
      {"PacketTimeout -9", [](auto& p) { p.SetPacketTimeout(-9); }, [](auto& p) { return p.PacketTimeout(); }, -1},
      {"PacketTimeout 200", [](auto& p) { p.SetPacketTimeout(200); }, [](auto& p) { return p.PacketTimeout(); },
       200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TCommPortDriver p(nullptr, clock, std::make_unique<test::FakeSerialDevice>());
    c.set(p);
    EXPECT_EQ(c.get(p), c.expected);
  }
}

TEST_F(CommPortDriverTest, DefaultsOfTheComponent) {
  TCommPortDriver p(nullptr, clock, std::make_unique<test::FakeSerialDevice>());
  EXPECT_EQ(p.BaudRate(), br9600);
  EXPECT_EQ(p.BaudRateValue(), 9600u);
  EXPECT_EQ(p.DataBits(), db8BITS);
  EXPECT_EQ(p.HwFlow(), hfNONERTSON);
  EXPECT_EQ(p.InBufSize(), 2048u);
  EXPECT_EQ(p.PacketSize(), -1);
  EXPECT_EQ(p.PacketTimeout(), -1);
  EXPECT_EQ(p.PacketMode(), pmDiscard);
  EXPECT_EQ(p.PollingDelay(), 50);
  EXPECT_EQ(p.OutputTimeout(), 500);
  EXPECT_EQ(p.InputTimeout(), 20u);
  EXPECT_TRUE(p.EnableDTROnOpen());
  EXPECT_FALSE(p.IsOpen());
}

TEST_F(CommPortDriverTest, PortAndPortName) {
  port->SetPort(pnCOM3);
  EXPECT_EQ(port->PortName(), "\\\\.\\COM3");
  port->SetPort(pnCOM16);
  EXPECT_EQ(port->PortName(), "\\\\.\\COM16");
  port->SetPort(pnCustom);
  EXPECT_EQ(port->PortName(), "\\\\.\\COM16") << "pnCustom leaves the name";
  port->SetPort(pnCOM2);
  port->SetPortName("\\\\.\\/dev/ttyUSB0");
  EXPECT_EQ(port->Port(), pnCustom);
  EXPECT_EQ(port->PortName(), "\\\\.\\/dev/ttyUSB0");
}

TEST_F(CommPortDriverTest, NameAndBufferSizesAreIgnoredWhileOpen) {
  ASSERT_TRUE(port->Open());
  port->SetPortName("\\\\.\\COM9");
  port->SetPort(pnCOM4);
  port->SetInBufSize(4096);
  port->SetOutBufSize(4096);
  EXPECT_EQ(port->PortName(), "\\\\.\\COM1");
  EXPECT_EQ(port->Port(), pnCustom);
  EXPECT_EQ(port->InBufSize(), 2048u);
  EXPECT_EQ(port->OutBufSize(), 2048u);
}

TEST_F(CommPortDriverTest, BaudRateAndBaudRateValue) {
  port->SetBaudRate(br19200);
  EXPECT_EQ(port->BaudRateValue(), 19200u);
  port->SetBaudRateValue(31250);
  EXPECT_EQ(port->BaudRate(), brCustom);
  port->SetBaudRate(brCustom);
  EXPECT_EQ(port->BaudRateValue(), 31250u) << "brCustom keeps the number";
  port->SetBaudRateValue(9600);
  EXPECT_EQ(port->BaudRate(), brCustom) << "a number always means a custom rate";
}

TEST_F(CommPortDriverTest, LineSettersReapplyOnOpenPortOnly) {
  struct Case {
    const char* what;
    std::function<void(TCommPortDriver&)> set;
    std::function<bool(const DeviceSettings&)> applied;
  };
  const std::vector<Case> cases = {
      {"BaudRate", [](auto& p) { p.SetBaudRate(br115200); }, [](auto& s) { return s.baudRate == 115200; }},
      {"BaudRateValue", [](auto& p) { p.SetBaudRateValue(14400); }, [](auto& s) { return s.baudRate == 14400; }},
      {"DataBits", [](auto& p) { p.SetDataBits(db7BITS); }, [](auto& s) { return s.byteSize == 7; }},
      {"StopBits", [](auto& p) { p.SetStopBits(sb2BITS); }, [](auto& s) { return s.stopBits == sb2BITS; }},
      {"Parity", [](auto& p) { p.SetParity(ptEVEN); }, [](auto& s) { return s.parity == ptEVEN; }},
      {"HwFlow", [](auto& p) { p.SetHwFlow(hfRTSCTS); }, [](auto& s) { return s.hwFlow == hfRTSCTS; }},
      {"SwFlow", [](auto& p) { p.SetSwFlow(sfXONXOFF); }, [](auto& s) { return s.swFlow == sfXONXOFF; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto device = std::make_unique<test::FakeSerialDevice>();
    auto* d = device.get();
    TCommPortDriver p(nullptr, clock, std::move(device));
    c.set(p);
    EXPECT_TRUE(d->calls.empty()) << "a closed port only stores the value";

    auto device2 = std::make_unique<test::FakeSerialDevice>();
    d = device2.get();
    TCommPortDriver open(nullptr, clock, std::move(device2));
    open.SetPacketSize(256);
    open.SetPacketTimeout(200);
    ASSERT_TRUE(open.Open());
    d->Feed({1, 2, 3});
    open.Poll();
    ASSERT_NE(open.PacketStartTick(), TCommPortDriver::kNoPacket);
    d->ClearCalls();
    c.set(open);
    EXPECT_EQ(d->calls, (std::vector<std::string>{"SetState", "Purge", "SetQueueSizes"}));
    ASSERT_EQ(d->states.size(), 1u);
    EXPECT_TRUE(c.applied(d->states[0]));
    EXPECT_EQ(d->purges[0], std::make_pair(true, true));
    EXPECT_TRUE(d->input.empty()) << "both queues are emptied";
    EXPECT_EQ(open.PacketStartTick(), TCommPortDriver::kNoPacket);
  }
}

TEST_F(CommPortDriverTest, PollingDelayRestartsTimerOfOpenPort) {
  ASSERT_TRUE(port->Open());
  EXPECT_TRUE(port->PollTimer().isActive());
  EXPECT_EQ(port->PollTimer().interval(), 50);
  port->SetPollingDelay(5);
  EXPECT_TRUE(port->PollTimer().isActive());
  EXPECT_EQ(port->PollTimer().interval(), 5);
  port->SetPollingDelay(2);
  EXPECT_EQ(port->PollingDelay(), 5);
  port->Close();
  port->SetPollingDelay(20);
  EXPECT_FALSE(port->PollTimer().isActive());
  ASSERT_TRUE(port->Open());
  EXPECT_EQ(port->PollTimer().interval(), 20);
}

// --- open, settings, close --------------------------------------------------

TEST_F(CommPortDriverTest, OpenAppliesSettingsTimeoutsAndStartsPolling) {
  port->SetPortName("\\\\.\\COM2");
  port->SetBaudRate(br2400);
  port->SetDataBits(db7BITS);
  port->SetParity(ptODD);
  port->SetStopBits(sb1HALFBITS);
  port->SetEnableDTROnOpen(false);
  port->SetSwFlow(sfXONXOFF);
  port->SetInBufSize(8192);
  port->SetOutBufSize(512);
  port->SetPollingDelay(5);
  ASSERT_TRUE(port->Open());
  EXPECT_TRUE(port->IsOpen());
  EXPECT_EQ(dev->openedName, "\\\\.\\COM2");
  EXPECT_EQ(dev->calls, (std::vector<std::string>{"Open", "SetState", "Purge", "SetQueueSizes", "SetTimeouts"}));

  ASSERT_EQ(dev->states.size(), 1u);
  const DeviceSettings& s = dev->states[0];
  EXPECT_EQ(s.baudRate, 2400u);
  EXPECT_EQ(s.byteSize, 7);
  EXPECT_EQ(s.parity, ptODD);
  EXPECT_EQ(s.stopBits, sb1HALFBITS);
  EXPECT_FALSE(s.dtrOnOpen);
  EXPECT_EQ(s.hwFlow, hfNONERTSON);
  EXPECT_EQ(s.swFlow, sfXONXOFF);
  EXPECT_EQ(s.xonLimit, 2048);  // InBufSize / 4
  EXPECT_EQ(s.xoffLimit, 2048);
  EXPECT_EQ(s.xonChar, 0x11);
  EXPECT_EQ(s.xoffChar, 0x13);
  EXPECT_EQ(dev->queueSizes[0], std::make_pair(8192u, 512u));

  ASSERT_TRUE(dev->timeouts.has_value());
  EXPECT_EQ(dev->timeouts->readInterval, 1u);
  EXPECT_EQ(dev->timeouts->readTotalMultiplier, 0u);
  EXPECT_EQ(dev->timeouts->readTotalConstant, 1u);
  EXPECT_EQ(dev->timeouts->writeTotalMultiplier, 0u);
  EXPECT_EQ(dev->timeouts->writeTotalConstant, 10u);
  EXPECT_TRUE(port->PollTimer().isActive());
  EXPECT_EQ(port->PollTimer().interval(), 5);
}

TEST_F(CommPortDriverTest, OpenOnOpenPortDoesNotReopen) {
  ASSERT_TRUE(port->Open());
  EXPECT_TRUE(port->Open());
  EXPECT_EQ(dev->opens, 1);
}

TEST_F(CommPortDriverTest, FailedOpenLeavesPortClosed) {
  struct Case {
    const char* what;
    std::function<void(test::FakeSerialDevice&)> breakIt;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"device absent", [](auto& d) { d.openResult = false; }, {"Open"}},
      {"settings refused", [](auto& d) { d.setStateResult = false; }, {"Open", "SetState", "Close"}},
      {"purge fails", [](auto& d) { d.purgeResult = false; }, {"Open", "SetState", "Purge", "Close"}},
      {"queue sizes refused", [](auto& d) { d.queueSizesResult = false; },
       {"Open", "SetState", "Purge", "SetQueueSizes", "Close"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto device = std::make_unique<test::FakeSerialDevice>();
    auto* d = device.get();
    c.breakIt(*d);
    TCommPortDriver p(nullptr, clock, std::move(device));
    EXPECT_FALSE(p.Open());
    EXPECT_FALSE(p.IsOpen());
    EXPECT_FALSE(d->isOpen);
    EXPECT_FALSE(p.PollTimer().isActive());
    EXPECT_EQ(d->calls, c.calls);
  }
}

TEST_F(CommPortDriverTest, CloseStopsPollingAndIsIdempotent) {
  ASSERT_TRUE(port->Open());
  port->Close();
  EXPECT_FALSE(port->IsOpen());
  EXPECT_FALSE(dev->isOpen);
  EXPECT_FALSE(port->PollTimer().isActive());
  dev->ClearCalls();
  port->Close();
  EXPECT_TRUE(dev->calls.empty());
  EXPECT_TRUE(port->Open()) << "a closed port opens again";
}

TEST_F(CommPortDriverTest, AGoneDeviceClosesThePortAndTellsTheOwnerOnce) {
  // An unplugged adapter must not leave the port open and deaf for good.
  int lost = 0;
  port->OnDeviceLost = [&](TCommPortDriver* sender) {
    EXPECT_EQ(sender, port.get());
    EXPECT_FALSE(sender->IsOpen()) << "closed before the owner hears of it";
    ++lost;
  };
  ASSERT_TRUE(port->Open());
  dev->statusResult = false;
  port->Poll();
  EXPECT_TRUE(port->IsOpen()) << "a failed query alone is no lost device";

  dev->gone = true;
  port->Poll();
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_FALSE(dev->isOpen);
  EXPECT_FALSE(port->PollTimer().isActive());
  port->Poll();
  EXPECT_EQ(lost, 1);
  EXPECT_TRUE(port->Open()) << "and opens again once the device is back";
}

TEST_F(CommPortDriverTest, OperationsOnClosedPort) {
  EXPECT_FALSE(port->ApplySettings());
  EXPECT_FALSE(port->PurgeBuffers(true, true));
  EXPECT_EQ(port->OutputFreeSpace(), 65535);
  EXPECT_TRUE(port->LineStatus().Empty());
  const std::uint8_t ack = 0x06;
  EXPECT_EQ(port->SendBytes(&ack, 1), 0u);
  port->SetDTR(true);
  port->SetRTS(false);
  EXPECT_TRUE(dev->lineCalls.empty());
  EXPECT_TRUE(dev->calls.empty());
}

TEST_F(CommPortDriverTest, PurgeEndsPacketUnderWayOnlyWhenItSucceeds) {
  port->SetPacketSize(256);
  port->SetPacketTimeout(200);
  ASSERT_TRUE(port->Open());
  dev->Feed({1});
  port->Poll();
  const std::uint32_t start = port->PacketStartTick();
  ASSERT_NE(start, TCommPortDriver::kNoPacket);
  dev->purgeResult = false;
  EXPECT_FALSE(port->PurgeBuffers(true, false));
  EXPECT_EQ(port->PacketStartTick(), start);
  dev->purgeResult = true;
  EXPECT_TRUE(port->PurgeBuffers(true, false));
  EXPECT_EQ(dev->purges.back(), std::make_pair(true, false));
  EXPECT_EQ(port->PacketStartTick(), TCommPortDriver::kNoPacket);
}

TEST_F(CommPortDriverTest, ModemLinesAndLineStatus) {
  ASSERT_TRUE(port->Open());
  dev->lineCalls.clear();
  port->SetDTR(true);
  port->SetRTS(false);
  EXPECT_EQ(dev->lineCalls, (std::vector<std::pair<ModemLine, bool>>{{ModemLine::DTR, true}, {ModemLine::RTS, false}}));
  dev->modem.dsr = true;
  dev->modem.rlsd = true;
  EXPECT_EQ(port->LineStatus(), (TLineStatus{false, true, false, true}));
  dev->modemResult = false;
  EXPECT_TRUE(port->LineStatus().Empty());
}

TEST_F(CommPortDriverTest, OutputFreeSpace) {
  port->SetOutBufSize(2048);
  ASSERT_TRUE(port->Open());
  dev->outQueue = 48;
  EXPECT_EQ(port->OutputFreeSpace(), 2000);
  // More in the system's queue than OutBufSize: no room (not a 16-bit wrap).
  dev->outQueue = 3000;
  EXPECT_EQ(port->OutputFreeSpace(), 0);
  dev->outQueue = 0;
  dev->statusResult = false;
  EXPECT_EQ(port->OutputFreeSpace(), 0);
}

// --- sending ----------------------------------------------------------------

TEST_F(CommPortDriverTest, SendWritesAllInChunksOfFreeSpace) {
  port->SetOutBufSize(128);
  ASSERT_TRUE(port->Open());
  dev->writeAccepts = [](std::uint32_t count) { return std::min<std::uint32_t>(count, 50); };
  const auto data = test::Sequence(300);
  EXPECT_EQ(port->SendBytesTimed(data.data(), 300, 10), 300u);
  EXPECT_EQ(dev->written, data);
}

TEST_F(CommPortDriverTest, StalledSendTimesOutStrictlyAfterLastProgress) {
  ASSERT_TRUE(port->Open());
  dev->msPerStatusQuery = 1;
  std::uint32_t taken = 0;
  dev->writeAccepts = [&](std::uint32_t count) {
    const std::uint32_t n = std::min<std::uint32_t>(count, 3 - taken);
    taken += n;
    return n;
  };
  const auto data = test::Sequence(10);
  EXPECT_EQ(port->SendBytesTimed(data.data(), 10, 25), 3u);
  EXPECT_EQ(dev->written, test::Sequence(3));
  EXPECT_EQ(clock.TickCount() - dev->lastProgressTick, 26u) << "gives up only when more than 25 ms passed";
}

TEST_F(CommPortDriverTest, SendWithoutRoomReturnsZeroAfterOutputTimeout) {
  port->SetOutBufSize(128);
  port->SetOutputTimeout(200);
  ASSERT_TRUE(port->Open());
  dev->msPerStatusQuery = 1;
  dev->outQueue = 128;
  const std::uint32_t start = clock.TickCount();
  const std::uint8_t ack = 0x06;
  EXPECT_EQ(port->SendBytes(&ack, 1), 0u);
  EXPECT_TRUE(dev->written.empty());
  EXPECT_EQ(clock.TickCount() - start, 201u);
}

TEST_F(CommPortDriverTest, SendChecksLineStatusOnlyWhenAsked) {
  ASSERT_TRUE(port->Open());
  dev->msPerStatusQuery = 1;
  const std::uint8_t ack = 0x06;
  EXPECT_EQ(port->SendBytes(&ack, 1), 1u) << "no modem lines, no check";

  port->SetCheckLineStatus(true);
  const std::uint32_t before = clock.TickCount();
  EXPECT_EQ(port->SendBytes(&ack, 1), 0u);
  EXPECT_EQ(clock.TickCount() - before, 1u) << "stops at once, without waiting for the time-out";
  dev->modem.cts = true;
  EXPECT_EQ(port->SendBytes(&ack, 1), 1u);
  EXPECT_EQ(dev->written, (std::vector<std::uint8_t>{0x06, 0x06}));
}

TEST_F(CommPortDriverTest, ReceiveTime) {
  struct Case {
    TBaudRate rate;
    std::uint32_t customValue;
    std::uint32_t bytes;
    std::uint32_t ms;
  };
  const std::vector<Case> cases = {
      {br9600, 0, 256, 267},       // 266.67
      {br9600, 0, 12, 12},         // 12.5: a tie goes to the even neighbour
      {br9600, 0, 36, 38},         // 37.5
      {br110, 0, 1, 91},           // 90.9
      {br256000, 0, 256, 10},      // 10.0
      {br14400, 0, 256, 178},      // 177.8
      {brCustom, 20000, 5, 2},     // 2.5
      {brCustom, 20000, 7, 4},     // 3.5
      {brCustom, 0, 256, 0},       // no rate
      {br110, 0, 0xFFFFFFFFu, 0xFFFFFFFFu},  // beyond 32 bits: the largest value
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "rate " << int(c.rate) << "/" << c.customValue << ", " << c.bytes << " bytes");
    if (c.rate == brCustom) port->SetBaudRateValue(c.customValue);
    EXPECT_EQ(port->ReceiveTime(c.rate, c.bytes), c.ms);
  }
}

}  // namespace
}  // namespace vorel
