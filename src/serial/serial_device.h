// The platform part of the serial component: one device, opened exclusively,
// read and written without blocking. The POSIX implementation lives in
// serial_device_posix.cpp; tests substitute a fake.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial/serial_types.h"

namespace vorel {

// Everything that configures the line, built afresh by ApplySettings.
struct DeviceSettings {
  std::uint32_t baudRate = 9600;
  int byteSize = 8;  // 5..8
  TParity parity = ptNONE;
  TStopBits stopBits = sb1BITS;
  bool dtrOnOpen = true;
  THwFlowControl hwFlow = hfNONERTSON;
  TSwFlowControl swFlow = sfNONE;
  std::uint16_t xonLimit = 512;
  std::uint16_t xoffLimit = 512;
  char xonChar = 0x11;
  char xoffChar = 0x13;
};

// Read interval, read total (multiplier, constant) and write total
// (multiplier, constant), in milliseconds.
struct DeviceTimeouts {
  std::uint32_t readInterval = 1;
  std::uint32_t readTotalMultiplier = 0;
  std::uint32_t readTotalConstant = 1;
  std::uint32_t writeTotalMultiplier = 0;
  std::uint32_t writeTotalConstant = 10;
};

struct QueueStatus {
  std::uint32_t inQueue = 0;   // bytes received and not yet read
  std::uint32_t outQueue = 0;  // bytes written and not yet sent
};

enum class ModemLine { DTR, RTS };

// Why the last failed operation of a device failed, as the system tells it.
struct SerialError {
  int code = 0;      // errno on POSIX; 0 when nothing failed
  std::string text;  // the system's text for it
};

class ISerialDevice {
 public:
  virtual ~ISerialDevice() = default;

  // Opens the device of a port name ("\\.\COM3", "\\.\/dev/ttyUSB0", see
  // port_name.h) for reading and writing, exclusively. False when it is
  // absent, held by another opener or not a serial device.
  virtual bool Open(const std::string& portName) = 0;
  virtual void Close() = 0;

  virtual bool SetState(const DeviceSettings& settings) = 0;
  virtual bool SetQueueSizes(std::uint32_t inBytes, std::uint32_t outBytes) = 0;
  virtual bool SetTimeouts(const DeviceTimeouts& timeouts) = 0;
  // Discards pending input and/or output.
  virtual bool Purge(bool input, bool output) = 0;
  // Clears the error state and tells the queue counts.
  virtual bool GetQueueStatus(QueueStatus& status) = 0;
  // Never blocks: reads up to count bytes that are already there.
  virtual bool Read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& read) = 0;
  virtual bool Write(const std::uint8_t* data, std::uint32_t count, std::uint32_t& written) = 0;
  virtual bool GetModemStatus(TLineStatus& status) = 0;
  virtual bool SetModemLine(ModemLine line, bool on) = 0;
  // For diagnostics only: the component itself reports failures as false.
  virtual SerialError LastError() const { return {}; }
  // True once the device has gone from under the open port (a USB adapter
  // unplugged, the other side of a pseudo-terminal closed): every call fails
  // until it is closed and opened again.
  virtual bool Gone() const { return false; }
  // A descriptor that turns readable when bytes arrive or the device goes
  // away, so that an idle port needs no polling; -1 when there is none (the
  // component then polls all the time it is open).
  virtual int ReadinessHandle() const { return -1; }
};

std::unique_ptr<ISerialDevice> CreateSystemSerialDevice();

}  // namespace vorel
