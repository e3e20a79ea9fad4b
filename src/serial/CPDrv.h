// TCommPortDriver: the serial port component through which the driver talks
// to the station. It opens a named device, applies the line settings, polls
// the device on a timer of the owner's event loop, gathers received bytes into
// packets by size and by time, and hands each packet to OnReceivePacket. It
// knows nothing about frames.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "serial/serial_device.h"
#include "serial/serial_types.h"

namespace vorel {

class TCommPortDriver : public QObject {
  Q_OBJECT

 public:
  // Packet points into the component's input buffer, which the next poll
  // overwrites: a handler copies what it keeps.
  using TReceivePacketEvent =
      std::function<void(TCommPortDriver* Sender, const std::uint8_t* Packet, std::uint32_t DataSize)>;
  using TReceiveDataEvent =
      std::function<void(TCommPortDriver* Sender, const std::uint8_t* DataPtr, std::uint32_t DataSize)>;
  // Whether the bytes of a packet gathered so far end with a whole frame of
  // the owner's protocol (the component itself knows no frames).
  using TPacketEndTest = std::function<bool(const std::uint8_t* Data, std::uint32_t DataSize)>;

  static constexpr std::uint32_t kNoPacket = 0xFFFFFFFFu;  // packet start tick: none under way

  explicit TCommPortDriver(QObject* owner = nullptr, IClock& clock = SystemClock(),
                           std::unique_ptr<ISerialDevice> device = CreateSystemSerialDevice());
  ~TCommPortDriver() override;

  // Properties. Setters follow the component's rules: some are ignored while
  // the port is open, some clamp, the line settings re-apply at once.
  TPortNumber Port() const { return port_; }
  void SetPort(TPortNumber value);
  const std::string& PortName() const { return portName_; }
  void SetPortName(const std::string& value);
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate value);
  std::uint32_t BaudRateValue() const { return baudRateValue_; }
  void SetBaudRateValue(std::uint32_t value);
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits value);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits value);
  TParity Parity() const { return parity_; }
  void SetParity(TParity value);
  THwFlowControl HwFlow() const { return hwFlow_; }
  void SetHwFlow(THwFlowControl value);
  TSwFlowControl SwFlow() const { return swFlow_; }
  void SetSwFlow(TSwFlowControl value);
  std::uint32_t InBufSize() const { return inBufSize_; }
  void SetInBufSize(std::uint32_t value);
  std::uint32_t OutBufSize() const { return outBufSize_; }
  void SetOutBufSize(std::uint32_t value);
  std::int16_t PacketSize() const { return packetSize_; }
  void SetPacketSize(std::int16_t value);
  std::int32_t PacketTimeout() const { return packetTimeout_; }
  void SetPacketTimeout(std::int32_t value);
  TPacketMode PacketMode() const { return packetMode_; }
  void SetPacketMode(TPacketMode value) { packetMode_ = value; }
  std::uint16_t PollingDelay() const { return pollingDelay_; }
  void SetPollingDelay(std::uint16_t value);
  bool EnableDTROnOpen() const { return enableDTROnOpen_; }
  void SetEnableDTROnOpen(bool value) { enableDTROnOpen_ = value; }
  std::uint16_t OutputTimeout() const { return outputTimeout_; }
  void SetOutputTimeout(std::uint16_t value) { outputTimeout_ = value; }
  std::uint32_t InputTimeout() const { return inputTimeout_; }
  void SetInputTimeout(std::uint32_t value) { inputTimeout_ = value; }
  bool CheckLineStatus() const { return checkLineStatus_; }
  void SetCheckLineStatus(bool value) { checkLineStatus_ = value; }
  // Unset (the default): a packet is cut by PacketSize and PacketTimeout
  // only. Set: in packet mode every poll reads what has arrived, and the
  // packet is handed over as soon as its bytes end with a whole frame, so a
  // station that waits for each ACK is not held 200 ms per frame; bytes that
  // do not end a frame still wait for the time-out or the size. Ignored
  // while the port is open (a packet may be half gathered).
  bool CutsAtPacketEnd() const { return static_cast<bool>(packetEndTest_); }
  void SetPacketEndTest(TPacketEndTest value);

  TReceiveDataEvent OnReceiveData;
  TReceivePacketEvent OnReceivePacket;
  // The device went away under the open port (an adapter unplugged): the
  // component has closed the port by the time this runs.
  std::function<void(TCommPortDriver* Sender)> OnDeviceLost;

  // Operations.
  bool Open();
  // Why the last operation on the device failed (an Open that returned false).
  SerialError LastError() const { return device_->LastError(); }
  void Close();
  // Safe to call from any thread.
  bool IsOpen() const { return open_.load(std::memory_order_acquire); }
  bool ApplySettings();
  bool PurgeBuffers(bool input, bool output);
  std::uint16_t OutputFreeSpace();
  TLineStatus LineStatus();
  std::uint32_t SendBytesTimed(const std::uint8_t* data, std::uint32_t count, std::uint32_t timeoutMs);
  std::uint32_t SendBytes(const std::uint8_t* data, std::uint32_t count);
  void SetDTR(bool on);
  void SetRTS(bool on);
  // Milliseconds that byteCount bytes take on the line at the rate of
  // `rate` (BaudRateValue for brCustom); 0 when that rate is 0.
  std::uint32_t ReceiveTime(TBaudRate rate, std::uint32_t byteCount) const;

  // One tick of the poll timer. Public so that tests can drive it with a
  // fake clock; the timer calls it every PollingDelay ms while the port is open.
  void Poll();

  // The packet start tick (kNoPacket when no packet is under way).
  std::uint32_t PacketStartTick() const { return packetStartTick_; }
  // The poll timer, with period PollingDelay. It runs all the time the port
  // is open, unless the device tells when bytes arrive: then an idle port
  // waits for that, and the timer runs only while a packet is under way.
  const QTimer& PollTimer() const { return pollTimer_; }
  bool WaitsForBytes() const { return readable_ != nullptr && readable_->isEnabled(); }

  static constexpr std::uint32_t kMinBufSize = 128;
  static constexpr std::uint32_t kMaxBufSize = 8192;

 private:
  void PollDevice();
  void LoseDevice();
  // After a poll: the timer while a packet is under way (or a poll is held
  // back by a nested event loop), else the wait for the next byte.
  void ChooseWaking();
  void StartPollTimer();
  void StopPollTimer();
  // Reads up to count bytes into the input buffer from `at` on, never past its end.
  bool ReadInput(std::uint32_t count, std::uint32_t& read, std::uint32_t at = 0);
  // Packet mode with a packet-end test: the bytes are gathered in the input
  // buffer as they come.
  void GatherPacket(std::uint32_t waiting);
  void HandOverGathered();

  IClock& clock_;
  std::unique_ptr<ISerialDevice> device_;
  std::atomic<bool> open_{false};
  QTimer pollTimer_;
  QSocketNotifier* readable_ = nullptr;  // while open, when the device has a readiness handle
  std::vector<std::uint8_t> inBuffer_;
  std::uint32_t packetStartTick_ = kNoPacket;
  std::uint32_t gathered_ = 0;  // bytes of the packet under way already in the input buffer
  TPacketEndTest packetEndTest_;
  bool polling_ = false;  // a poll is running (a handler may run a nested event loop)

  TPortNumber port_ = pnCustom;
  std::string portName_;
  TBaudRate baudRate_ = br9600;
  std::uint32_t baudRateValue_ = 9600;
  TDataBits dataBits_ = db8BITS;
  TStopBits stopBits_ = sb1BITS;
  TParity parity_ = ptNONE;
  THwFlowControl hwFlow_ = hfNONERTSON;
  TSwFlowControl swFlow_ = sfNONE;
  std::uint32_t inBufSize_ = 2048;
  std::uint32_t outBufSize_ = 2048;
  std::int16_t packetSize_ = -1;
  std::int32_t packetTimeout_ = -1;
  TPacketMode packetMode_ = pmDiscard;
  std::uint16_t pollingDelay_ = 50;
  bool enableDTROnOpen_ = true;
  std::uint16_t outputTimeout_ = 500;
  std::uint32_t inputTimeout_ = 20;
  bool checkLineStatus_ = false;
};

}  // namespace vorel
