// The terminal-device layer against a real pseudo-terminal pair, and the
// component polling it from the Qt event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <grp.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial/CPDrv.h"
#include "serial/arbitrary_baud.h"
#include "serial/fake_serial_device.h"
#include "support/fake_clock.h"
#include "support/pty_pair.h"
#include "serial/serial_device_posix.h"

namespace vorel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Waits (bounded) until the device reports `count` bytes in its input queue:
// the pseudo-terminal passes bytes on asynchronously.
bool WaitForInput(PosixSerialDevice& device, std::uint32_t count) {
  QDeadlineTimer deadline(5000);
  QueueStatus status;
  while (device.GetQueueStatus(status) && status.inQueue < count && !deadline.hasExpired()) {
    pollfd p{device.Handle(), POLLIN, 0};
    ::poll(&p, 1, 20);
  }
  return status.inQueue >= count;
}

Bytes ReadAll(PosixSerialDevice& device, std::size_t count) {
  Bytes got(count);
  std::uint32_t have = 0;
  QDeadlineTimer deadline(5000);
  while (have < count && !deadline.hasExpired()) {
    std::uint32_t n = 0;
    if (!device.Read(got.data() + have, static_cast<std::uint32_t>(count - have), n)) break;
    have += n;
    if (n == 0) {
      pollfd p{device.Handle(), POLLIN, 0};
      ::poll(&p, 1, 20);
    }
  }
  got.resize(have);
  return got;
}

Bytes AllByteValues() {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  return all;
}

class PtyDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.Ok()) << "no pseudo-terminal: " << std::strerror(errno); }

  bool OpenConfigured(PosixSerialDevice& device) {
    return device.Open(pty.PortName()) && device.SetState(DeviceSettings{});
  }

  test::PtyPair pty;
};

TEST_F(PtyDeviceTest, OpensByPathAndByComNameInComDirectory) {
  PosixSerialDevice device;
  ASSERT_TRUE(device.Open(pty.PortName())) << device.LastError().text;
  EXPECT_GE(device.Handle(), 0);
  device.Close();
  EXPECT_EQ(device.Handle(), -1);

  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  ASSERT_EQ(symlink(pty.SlavePath().c_str(), (dir.path() + "/COM7").toStdString().c_str()), 0);
  ScopedEnv comDir("VOREL_COM_DIR", dir.path().toStdString());
  EXPECT_TRUE(device.Open("\\\\.\\COM7")) << device.LastError().text;
  device.Close();
  EXPECT_TRUE(device.Open("\\\\.\\com7")) << "any letter case";
  device.Close();

  EXPECT_FALSE(device.Open("\\\\.\\COM8")) << "no entry, no device (no fallback to /dev/ttyS7)";
  EXPECT_EQ(device.LastError().code, ENOENT);
  EXPECT_FALSE(device.Open("\\\\.\\LPT1"));
  EXPECT_EQ(device.Handle(), -1);
}

TEST_F(PtyDeviceTest, RefusesWhatIsNotATerminal) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/plain";
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  PosixSerialDevice device;
  EXPECT_FALSE(device.Open("\\\\.\\" + path.toStdString()));
  EXPECT_EQ(device.LastError().code, ENOTTY);
  EXPECT_FALSE(device.LastError().text.empty());
  EXPECT_EQ(device.Handle(), -1);
}

TEST_F(PtyDeviceTest, SecondOpenerIsRefusedUntilFirstCloses) {
  PosixSerialDevice first;
  PosixSerialDevice second;
  ASSERT_TRUE(first.Open(pty.PortName()));
  EXPECT_FALSE(second.Open(pty.PortName()));
  EXPECT_EQ(second.LastError().code, EBUSY);
  first.Close();
  EXPECT_TRUE(second.Open(pty.PortName())) << second.LastError().text;
  second.Close();
  EXPECT_TRUE(first.Open(pty.PortName())) << "the exclusive flag does not outlive the close";
}

TEST_F(PtyDeviceTest, RawBytesPassUnchangedBothWays) {
  PosixSerialDevice device;
  ASSERT_TRUE(OpenConfigured(device)) << device.LastError().text;
  const Bytes all = AllByteValues();  // NUL, LF, CR, XON, XOFF, 0xFF among them

  ASSERT_TRUE(pty.Send(all));
  ASSERT_TRUE(WaitForInput(device, 256));
  EXPECT_EQ(ReadAll(device, 256), all);

  std::uint32_t written = 0;
  ASSERT_TRUE(device.Write(all.data(), 256, written));
  EXPECT_EQ(written, 256u);
  EXPECT_EQ(pty.Receive(256), all);
}

TEST_F(PtyDeviceTest, ReadWithNothingWaitingReturnsAtOnce) {
  PosixSerialDevice device;
  ASSERT_TRUE(OpenConfigured(device));
  std::uint8_t buffer[16];
  std::uint32_t n = 99;
  EXPECT_TRUE(device.Read(buffer, sizeof buffer, n));
  EXPECT_EQ(n, 0u);
  QueueStatus status;
  ASSERT_TRUE(device.GetQueueStatus(status));
  EXPECT_EQ(status.inQueue, 0u);
}

TEST_F(PtyDeviceTest, QueueCountAndPurge) {
  PosixSerialDevice device;
  ASSERT_TRUE(OpenConfigured(device));
  ASSERT_TRUE(pty.Send(Bytes(10, 'x')));
  ASSERT_TRUE(WaitForInput(device, 10));
  QueueStatus status;
  ASSERT_TRUE(device.GetQueueStatus(status));
  EXPECT_EQ(status.inQueue, 10u);
  ASSERT_TRUE(device.Purge(true, true));
  ASSERT_TRUE(device.GetQueueStatus(status));
  EXPECT_EQ(status.inQueue, 0u);
}

TEST_F(PtyDeviceTest, HangUpMakesTheDeviceGone) {
  PosixSerialDevice device;
  ASSERT_TRUE(OpenConfigured(device));
  EXPECT_FALSE(device.Gone());
  pty.CloseMaster();
  // The idle poll only asks for the queue count: that is where the loss shows.
  QueueStatus status;
  EXPECT_FALSE(device.GetQueueStatus(status));
  EXPECT_TRUE(device.Gone());
  std::uint8_t buffer[4];
  std::uint32_t n = 0;
  EXPECT_FALSE(device.Read(buffer, sizeof buffer, n)) << "a hang-up is not \"nothing there now\"";
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(device.LastError().code, EIO);
  device.Close();
  EXPECT_FALSE(device.Gone());
}

// The component applies the settings to the open device. A pseudo-terminal
// always runs 8 data bits without parity (it forces CS8 and clears PARENB, and
// the C library then reports the setting as refused), so byte size and parity
// are read back from hardware only (below).
TEST_F(PtyDeviceTest, SettingsReachTheTerminal) {
  auto device = std::make_unique<PosixSerialDevice>();
  PosixSerialDevice* dev = device.get();
  TCommPortDriver port(nullptr, SystemClock(), std::move(device));
  port.SetPortName(pty.PortName());
  port.SetBaudRate(br19200);
  port.SetStopBits(sb2BITS);
  port.SetHwFlow(hfRTSCTS);
  ASSERT_TRUE(port.Open()) << dev->LastError().text;

  termios t{};
  ASSERT_EQ(tcgetattr(dev->Handle(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B19200));
  EXPECT_EQ(cfgetispeed(&t), speed_t(B19200));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
  EXPECT_NE(t.c_cflag & (CLOCAL | CREAD), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  // A rate termios has no constant for, set on the open port.
  port.SetBaudRate(br14400);
  auto speed = ReadLineSpeed(dev->Handle());
  ASSERT_TRUE(speed.has_value());
  EXPECT_EQ(speed->output, 14400u);
  EXPECT_EQ(speed->input, 14400u);
  port.SetBaudRateValue(31250);
  speed = ReadLineSpeed(dev->Handle());
  EXPECT_EQ(speed->output, 31250u);

  // Back to a standard rate: the input rate must follow, not stay at 31250.
  port.SetBaudRate(br9600);
  speed = ReadLineSpeed(dev->Handle());
  EXPECT_EQ(speed->output, 9600u);
  EXPECT_EQ(speed->input, 9600u);

  port.SetHwFlow(hfNONERTSON);
  port.SetStopBits(sb1BITS);
  ASSERT_EQ(tcgetattr(dev->Handle(), &t), 0);
  EXPECT_EQ(t.c_cflag & (CRTSCTS | CSTOPB), 0u);
}

TEST_F(PtyDeviceTest, ModemLinesOnPseudoTerminalFailQuietly) {
  auto device = std::make_unique<PosixSerialDevice>();
  PosixSerialDevice* dev = device.get();
  TCommPortDriver port(nullptr, SystemClock(), std::move(device));
  port.SetPortName(pty.PortName());
  ASSERT_TRUE(port.Open()) << "no modem lines is no reason to refuse the port";
  port.SetDTR(false);
  port.SetRTS(false);
  port.SetDTR(true);
  EXPECT_TRUE(port.LineStatus().Empty());
  TLineStatus status;
  EXPECT_FALSE(dev->GetModemStatus(status));
  EXPECT_FALSE(dev->SetModemLine(ModemLine::DTR, true));
  EXPECT_TRUE(port.IsOpen());
  const std::uint8_t ack = 0x06;
  EXPECT_EQ(port.SendBytes(&ack, 1), 1u);
  EXPECT_EQ(pty.Receive(1), Bytes{0x06});
}

// The whole road on the event loop: the station writes a frame, the poll
// timer gathers it and, 200 ms after the first byte, hands it over.
TEST_F(PtyDeviceTest, PollTimerDeliversPacketFromTheLine) {
  TCommPortDriver port(nullptr, SystemClock(), std::make_unique<PosixSerialDevice>());
  port.SetPortName(pty.PortName());
  port.SetPacketSize(256);
  port.SetPacketTimeout(200);
  port.SetPacketMode(pmPass);
  port.SetPollingDelay(5);
  std::vector<Bytes> packets;
  port.OnReceivePacket = [&](TCommPortDriver* sender, const std::uint8_t* p, std::uint32_t n) {
    packets.emplace_back(p, p + n);
    const std::uint8_t ack = 0x06;
    sender->SendBytes(&ack, 1);
  };
  ASSERT_TRUE(port.Open());
  // Idle, the port waits for the line instead of polling it.
  EXPECT_TRUE(port.WaitsForBytes());
  EXPECT_FALSE(port.PollTimer().isActive());

  const Bytes frame = {0x0A, '5', '0', '1', '1', '2', '3', '4', ' ', '1', '8', 0x00, 0xFF, 0x0D};
  ASSERT_TRUE(pty.Send(frame));
  QDeadlineTimer deadline(5000);
  while (packets.empty() && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], frame);
  EXPECT_EQ(pty.Receive(1), Bytes{0x06});
  EXPECT_TRUE(port.WaitsForBytes()) << "and waits again once the packet is handed over";
  EXPECT_FALSE(port.PollTimer().isActive());
}

TEST_F(PtyDeviceTest, AFrameInPiecesIsCutAtItsEndWhileTheLineIsWatched) {
  // A clock that never moves: no time-out can cut the packet, only its end.
  test::FakeClock frozen;
  TCommPortDriver port(nullptr, frozen, std::make_unique<PosixSerialDevice>());
  port.SetPortName(pty.PortName());
  port.SetPacketSize(256);
  port.SetPacketTimeout(200);
  port.SetPacketMode(pmPass);
  port.SetPollingDelay(5);
  port.SetPacketEndTest([](const std::uint8_t* p, std::uint32_t n) { return n > 0 && p[n - 1] == 0x0D; });
  std::vector<Bytes> packets;
  port.OnReceivePacket = [&](TCommPortDriver*, const std::uint8_t* p, std::uint32_t n) { packets.emplace_back(p, p + n); };
  ASSERT_TRUE(port.Open());
  const auto runUntil = [](const std::function<bool()>& done) {
    QDeadlineTimer deadline(5000);
    while (!done() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return done();
  };

  ASSERT_TRUE(pty.Send(Bytes{0x0A, '5', '0', '1'}));
  ASSERT_TRUE(runUntil([&] { return port.PacketStartTick() != TCommPortDriver::kNoPacket; }));
  // The bytes so far are gathered: the line is watched for the rest, besides the timer.
  EXPECT_TRUE(port.WaitsForBytes());
  EXPECT_TRUE(port.PollTimer().isActive());
  EXPECT_TRUE(packets.empty());

  ASSERT_TRUE(pty.Send(Bytes{'1', ' ', 'E', '1', 0x0D}));
  ASSERT_TRUE(runUntil([&] { return !packets.empty(); }));
  EXPECT_EQ(packets, (std::vector<Bytes>{{0x0A, '5', '0', '1', '1', ' ', 'E', '1', 0x0D}}));
  EXPECT_TRUE(port.WaitsForBytes());
  EXPECT_FALSE(port.PollTimer().isActive()) << "idle again once the packet is handed over";
}

TEST_F(PtyDeviceTest, AnIdlePortNoticesTheLineGoingAway) {
  TCommPortDriver port(nullptr, SystemClock(), std::make_unique<PosixSerialDevice>());
  port.SetPortName(pty.PortName());
  int lost = 0;
  port.OnDeviceLost = [&](TCommPortDriver*) { ++lost; };
  ASSERT_TRUE(port.Open());
  pty.CloseMaster();
  QDeadlineTimer deadline(5000);
  while (lost == 0 && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(port.IsOpen());
}

// Runs `body` in a child process, as the unprivileged user nobody when the
// test runs as root; the child's exit status (0 for true), or -1.
int InChild(bool unprivileged, const std::function<bool()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (unprivileged && geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(2);
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A driver killed (SIGKILL, the watchdog's SIGABRT) never runs its Close. On
// a pseudo-terminal, whose master stays open, an exclusive mark it left
// would turn the restarted driver, which is not root, away with "busy".
TEST_F(PtyDeviceTest, AKilledHolderLeavesNoMarkThatKeepsOutADriverWithoutRoot) {
  ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0666), 0);
  const auto open = [this] {
    PosixSerialDevice device;
    return device.Open(pty.PortName());
  };
  const int killed = InChild(false, [this] {
    PosixSerialDevice device;
    if (!device.Open(pty.PortName())) return false;
    raise(SIGKILL);
    return true;
  });
  ASSERT_EQ(killed, 128 + SIGKILL);
  EXPECT_EQ(InChild(true, open), 0) << "the restarted driver without root is kept out";

  // While a driver holds the port, its lock keeps every other opener out.
  PosixSerialDevice holder;
  ASSERT_TRUE(holder.Open(pty.PortName()));
  EXPECT_EQ(InChild(true, open), 1);
  EXPECT_EQ(InChild(false, open), 1) << "root too";
}

// Real hardware, when VOREL_TEST_SERIAL_PORT names a device ("COM1",
// "/dev/ttyUSB0"): what a pseudo-terminal cannot show.
TEST(SerialHardware, ByteSizeAndParityReachTheLine) {
  const char* name = std::getenv("VOREL_TEST_SERIAL_PORT");
  if (name == nullptr || *name == '\0') GTEST_SKIP() << "VOREL_TEST_SERIAL_PORT is not set";
  auto device = std::make_unique<PosixSerialDevice>();
  PosixSerialDevice* dev = device.get();
  TCommPortDriver port(nullptr, SystemClock(), std::move(device));
  port.SetPortName(std::string("\\\\.\\") + name);
  port.SetDataBits(db7BITS);
  port.SetParity(ptEVEN);
  port.SetBaudRate(br14400);
  ASSERT_TRUE(port.Open()) << dev->LastError().text;
  termios t{};
  ASSERT_EQ(tcgetattr(dev->Handle(), &t), 0);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS7));
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD), tcflag_t(PARENB));
  const auto speed = ReadLineSpeed(dev->Handle());
  ASSERT_TRUE(speed.has_value());
  EXPECT_EQ(speed->output, 14400u);
}

}  // namespace
}  // namespace vorel
