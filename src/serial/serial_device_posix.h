// The serial device on a POSIX terminal device (a serial port, a USB serial
// adapter or, in tests, a pseudo-terminal). Reads and writes never block.
#pragma once

#include "serial/serial_device.h"

namespace vorel {

class PosixSerialDevice final : public ISerialDevice {
 public:
  PosixSerialDevice() = default;
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;
  ~PosixSerialDevice() override { Close(); }

  bool Open(const std::string& portName) override;
  void Close() override;
  bool SetState(const DeviceSettings& settings) override;
  bool SetQueueSizes(std::uint32_t inBytes, std::uint32_t outBytes) override;
  bool SetTimeouts(const DeviceTimeouts& timeouts) override;
  bool Purge(bool input, bool output) override;
  bool GetQueueStatus(QueueStatus& status) override;
  bool Read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& read) override;
  bool Write(const std::uint8_t* data, std::uint32_t count, std::uint32_t& written) override;
  bool GetModemStatus(TLineStatus& status) override;
  bool SetModemLine(ModemLine line, bool on) override;
  SerialError LastError() const override { return lastError_; }
  bool Gone() const override { return gone_; }
  int ReadinessHandle() const override { return fd_; }

  // The open file descriptor, -1 when closed.
  int Handle() const { return fd_; }

 private:
  // Every failure passes here: records the system's code and text, returns false.
  bool Fail(int err);
  bool FailClosed();

  int fd_ = -1;
  SerialError lastError_;
  bool gone_ = false;
};

}  // namespace vorel
