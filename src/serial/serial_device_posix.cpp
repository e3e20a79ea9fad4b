#include "serial/serial_device_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "serial/arbitrary_baud.h"
#include "serial/port_name.h"
#include "serial/termios_settings.h"

namespace vorel {
namespace {

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// With VMIN 0 and VTIME 0 a read of nothing returns 0, and so does a read
// after a hang-up (adapter unplugged, other side of a pseudo-terminal gone).
bool HungUp(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Unix98 pseudo-terminal slaves (/dev/pts/N) have the majors 136 to 143.
bool IsPseudoTerminal(int fd) {
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned int major = ::major(st.st_rdev);
  return major >= 136 && major <= 143;
}

}  // namespace

std::unique_ptr<ISerialDevice> CreateSystemSerialDevice() { return std::make_unique<PosixSerialDevice>(); }

bool PosixSerialDevice::Fail(int err) {
  lastError_ = SerialError{err, std::system_category().message(err)};
  // A hung-up terminal fails every call with EIO; a removed device with
  // ENXIO or ENODEV.
  if (fd_ >= 0 && (err == EIO || err == ENXIO || err == ENODEV)) gone_ = true;
  return false;
}

bool PosixSerialDevice::FailClosed() { return Fail(EBADF); }

bool PosixSerialDevice::Open(const std::string& portName) {
  Close();
  const auto path = ResolvePortName(portName);
  if (!path) return Fail(ENOENT);

  int fd = -1;
  do {
    // Non-blocking, so that the open does not wait for carrier detect and
    // no read or write ever waits for the line.
    fd = ::open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Fail(errno);

  const auto reject = [fd, this](int err) {
    ::close(fd);
    return Fail(err);
  };
  termios t{};
  if (tcgetattr(fd, &t) != 0) return reject(errno);  // not a terminal device
  // Exclusive, as a COM port is on Windows. flock keeps out every other opener
  // that asks for the lock, root included, and dies with its holder;
  // TIOCEXCL keeps out openers that do not ask (terminal programs), though it
  // does not stop root. The exclusive mark belongs to the terminal: a serial
  // device loses it when its last descriptor closes, but a pseudo-terminal
  // keeps it for as long as its master side is open, so a driver killed
  // before its Close would lock its own restart out (EBUSY for anyone but
  // root). A pseudo-terminal therefore has the flock only.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return reject(WouldBlock(errno) ? EBUSY : errno);
  if (!IsPseudoTerminal(fd) && ioctl(fd, TIOCEXCL) != 0) return reject(errno);

  fd_ = fd;
  lastError_ = {};
  gone_ = false;
  return true;
}

void PosixSerialDevice::Close() {
  if (fd_ < 0) return;
  // The exclusive flag belongs to the terminal, not to this descriptor: on a
  // pseudo-terminal it would outlive the close and keep us out next time.
  ioctl(fd_, TIOCNXCL);
  ::close(fd_);  // not retried on EINTR: the descriptor is released either way
  fd_ = -1;
  gone_ = false;
}

bool PosixSerialDevice::SetState(const DeviceSettings& settings) {
  if (fd_ < 0) return FailClosed();
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return Fail(errno);
  const auto stored = termios_setup::StoreSettings(t, settings);
  if (stored == termios_setup::StoreResult::Invalid) return Fail(EINVAL);
  int rc = 0;
  do {
    rc = tcsetattr(fd_, TCSANOW, &t);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return Fail(errno);
  if (stored == termios_setup::StoreResult::NeedsArbitraryRate && !SetArbitraryBaudRate(fd_, settings.baudRate)) {
    return Fail(errno);
  }
  // The lines the settings ask for. A device without modem lines (a
  // pseudo-terminal) has nothing to set, and that is no failure of the line.
  SetModemLine(ModemLine::DTR, settings.dtrOnOpen);
  SetModemLine(ModemLine::RTS, settings.hwFlow == hfNONERTSON || settings.hwFlow == hfRTSCTS);
  return true;
}

// The terminal driver sizes its own queues; reads and writes never block, so
// there is nothing to time out. Both succeed on an open device.
bool PosixSerialDevice::SetQueueSizes(std::uint32_t, std::uint32_t) { return fd_ >= 0 || FailClosed(); }

bool PosixSerialDevice::SetTimeouts(const DeviceTimeouts&) { return fd_ >= 0 || FailClosed(); }

bool PosixSerialDevice::Purge(bool input, bool output) {
  if (fd_ < 0) return FailClosed();
  if (!input && !output) return true;
  const int queue = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
  return tcflush(fd_, queue) == 0 || Fail(errno);
}

bool PosixSerialDevice::GetQueueStatus(QueueStatus& status) {
  if (fd_ < 0) return FailClosed();
  int in = 0;
  int out = 0;
  if (ioctl(fd_, FIONREAD, &in) != 0) return Fail(errno);
  if (ioctl(fd_, TIOCOUTQ, &out) != 0) return Fail(errno);
  status.inQueue = in > 0 ? static_cast<std::uint32_t>(in) : 0;
  status.outQueue = out > 0 ? static_cast<std::uint32_t>(out) : 0;
  return true;
}

bool PosixSerialDevice::Read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& read) {
  read = 0;
  if (fd_ < 0) return FailClosed();
  if (count == 0) return true;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, count);
    if (n == 0 && HungUp(fd_)) return Fail(EIO);
    if (n >= 0) {
      read = static_cast<std::uint32_t>(n);
      return true;
    }
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) return true;  // nothing there now
    return Fail(errno);
  }
}

bool PosixSerialDevice::Write(const std::uint8_t* data, std::uint32_t count, std::uint32_t& written) {
  written = 0;
  if (fd_ < 0) return FailClosed();
  if (count == 0) return true;
  for (;;) {
    const ssize_t n = ::write(fd_, data, count);
    if (n >= 0) {
      written = static_cast<std::uint32_t>(n);
      return true;
    }
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) return true;  // output queue full: the caller tries again
    return Fail(errno);
  }
}

bool PosixSerialDevice::GetModemStatus(TLineStatus& status) {
  status = {};
  if (fd_ < 0) return FailClosed();
  int bits = 0;
  if (ioctl(fd_, TIOCMGET, &bits) != 0) return Fail(errno);
  status.cts = (bits & TIOCM_CTS) != 0;
  status.dsr = (bits & TIOCM_DSR) != 0;
  status.ring = (bits & TIOCM_RI) != 0;
  status.rlsd = (bits & TIOCM_CD) != 0;
  return true;
}

bool PosixSerialDevice::SetModemLine(ModemLine line, bool on) {
  if (fd_ < 0) return FailClosed();
  int bits = line == ModemLine::DTR ? TIOCM_DTR : TIOCM_RTS;
  return ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0 || Fail(errno);
}

}  // namespace vorel
