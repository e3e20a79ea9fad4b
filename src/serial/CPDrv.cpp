#include "serial/CPDrv.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "base/uncaught_error.h"

namespace vorel {
namespace {

constexpr std::uint16_t kMinPollingDelay = 5;
constexpr std::uint32_t kXonXoffLimitCap = 4096;

// Marks a poll as running for as long as it is in scope, also when a handler
// leaves it with an exception.
class PollScope {
 public:
  explicit PollScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~PollScope() { flag_ = false; }
  PollScope(const PollScope&) = delete;
  PollScope& operator=(const PollScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

TCommPortDriver::TCommPortDriver(QObject* owner, IClock& clock, std::unique_ptr<ISerialDevice> device)
    : QObject(owner), clock_(clock), device_(std::move(device)) {
  inBuffer_.assign(inBufSize_, 0);  // here, not in the initialiser list: inBufSize_ is declared later
  pollTimer_.setTimerType(Qt::PreciseTimer);
  // A handler's error must not unwind through the event loop: it goes to the
  // one reporting place, and the next tick polls again.
  connect(&pollTimer_, &QTimer::timeout, this, [this] {
    RunGuarded([this] { Poll(); });
    ChooseWaking();
  });
}

TCommPortDriver::~TCommPortDriver() { Close(); }

// --- Properties -------------------------------------------------------------

void TCommPortDriver::SetPort(TPortNumber value) {
  if (IsOpen()) return;
  port_ = value;
  if (value >= pnCOM1 && value <= pnCOM16) portName_ = "\\\\.\\COM" + std::to_string(static_cast<int>(value));
}

void TCommPortDriver::SetPortName(const std::string& value) {
  if (IsOpen()) return;
  portName_ = value;
  port_ = pnCustom;
}

void TCommPortDriver::SetBaudRate(TBaudRate value) {
  baudRate_ = value;
  if (value != brCustom) baudRateValue_ = BaudRateNumber(value);
  if (IsOpen()) ApplySettings();
}

void TCommPortDriver::SetBaudRateValue(std::uint32_t value) {
  baudRateValue_ = value;
  baudRate_ = brCustom;
  if (IsOpen()) ApplySettings();
}

void TCommPortDriver::SetDataBits(TDataBits value) {
  dataBits_ = value;
  if (IsOpen()) ApplySettings();
}

void TCommPortDriver::SetStopBits(TStopBits value) {
  stopBits_ = value;
  if (IsOpen()) ApplySettings();
}

void TCommPortDriver::SetParity(TParity value) {
  parity_ = value;
  if (IsOpen()) ApplySettings();
}

void TCommPortDriver::SetHwFlow(THwFlowControl value) {
  hwFlow_ = value;
  if (IsOpen()) ApplySettings();
}

void TCommPortDriver::SetSwFlow(TSwFlowControl value) {
  swFlow_ = value;
  if (IsOpen()) ApplySettings();
}

void TCommPortDriver::SetInBufSize(std::uint32_t value) {
  if (IsOpen()) return;
  inBufSize_ = std::clamp(value, kMinBufSize, kMaxBufSize);
  inBuffer_.assign(inBufSize_, 0);
  // A packet must fit the buffer: this grows the buffer back when needed.
  SetPacketSize(packetSize_);
}

void TCommPortDriver::SetOutBufSize(std::uint32_t value) {
  if (IsOpen()) return;
  outBufSize_ = std::clamp(value, kMinBufSize, kMaxBufSize);
}

void TCommPortDriver::SetPacketSize(std::int16_t value) {
  if (value <= 0) {
    packetSize_ = -1;
    return;
  }
  // No packet larger than the largest buffer: asking for one would have the
  // two setters call each other without end.
  const std::uint32_t wanted = std::min<std::uint32_t>(static_cast<std::uint32_t>(value), kMaxBufSize);
  if (wanted > inBufSize_) SetInBufSize(wanted);
  // The buffer cannot grow while open; a packet is then no larger than it is,
  // so that a read never runs past its end.
  packetSize_ = static_cast<std::int16_t>(std::min(wanted, inBufSize_));
}

void TCommPortDriver::SetPacketTimeout(std::int32_t value) { packetTimeout_ = value <= 0 ? -1 : value; }

void TCommPortDriver::SetPacketEndTest(TPacketEndTest value) {
  if (IsOpen()) return;
  packetEndTest_ = std::move(value);
}

void TCommPortDriver::SetPollingDelay(std::uint16_t value) {
  value = std::max(value, kMinPollingDelay);
  if (value == pollingDelay_) return;
  if (IsOpen()) {
    const bool polling = pollTimer_.isActive();
    StopPollTimer();
    pollingDelay_ = value;
    if (polling) StartPollTimer();
  } else {
    pollingDelay_ = value;
  }
  SetPacketTimeout(packetTimeout_);
}

// --- Operations -------------------------------------------------------------

bool TCommPortDriver::Open() {
  if (IsOpen()) return true;
  if (!device_->Open(portName_)) return false;
  open_.store(true, std::memory_order_release);
  if (!ApplySettings()) {
    Close();
    return false;
  }
  device_->SetTimeouts(DeviceTimeouts{});
  const int handle = device_->ReadinessHandle();
  if (handle < 0) {
    StartPollTimer();
    return true;
  }
  // An idle line costs nothing: the poll timer runs only from the first
  // byte of a packet until the packet is handed over.
  readable_ = new QSocketNotifier(handle, QSocketNotifier::Read, this);
  connect(readable_, &QSocketNotifier::activated, this, [this] {
    readable_->setEnabled(false);
    RunGuarded([this] { Poll(); });
    ChooseWaking();
  });
  return true;
}

void TCommPortDriver::ChooseWaking() {
  if (!IsOpen() || readable_ == nullptr) return;  // no readiness: the timer runs throughout
  if (polling_ || packetStartTick_ != kNoPacket) {
    if (!pollTimer_.isActive()) StartPollTimer();
    // Gathered bytes leave the device's queue empty, so its readiness is
    // worth waiting for: the byte that ends a frame is read at once, not at
    // the next tick. The timer still brings the time-out.
    if (!polling_ && packetEndTest_) readable_->setEnabled(true);
    return;
  }
  StopPollTimer();
  readable_->setEnabled(true);
}

void TCommPortDriver::Close() {
  if (!IsOpen()) return;
  StopPollTimer();
  if (readable_ != nullptr) {
    // Possibly inside its own signal: deleted once that is over.
    readable_->setEnabled(false);
    readable_->deleteLater();
    readable_ = nullptr;
  }
  device_->Close();
  open_.store(false, std::memory_order_release);
  gathered_ = 0;  // gone with the device, as the bytes in its queue are
}

bool TCommPortDriver::ApplySettings() {
  if (!IsOpen()) return false;
  DeviceSettings settings;
  settings.baudRate = baudRateValue_;
  settings.byteSize = static_cast<int>(dataBits_) + 5;
  settings.parity = parity_;
  settings.stopBits = stopBits_;
  settings.dtrOnOpen = enableDTROnOpen_;
  settings.hwFlow = hwFlow_;
  settings.swFlow = swFlow_;
  const auto limit = static_cast<std::uint16_t>(std::min(inBufSize_ / 4, kXonXoffLimitCap));
  settings.xonLimit = limit;
  settings.xoffLimit = limit;
  settings.xonChar = 0x11;
  settings.xoffChar = 0x13;
  return device_->SetState(settings) && PurgeBuffers(true, true) &&
         device_->SetQueueSizes(inBufSize_, outBufSize_);
}

bool TCommPortDriver::PurgeBuffers(bool input, bool output) {
  if (!IsOpen()) return false;
  if (!device_->Purge(input, output)) return false;
  packetStartTick_ = kNoPacket;
  gathered_ = 0;
  return true;
}

std::uint16_t TCommPortDriver::OutputFreeSpace() {
  if (!IsOpen()) return 0xFFFF;
  QueueStatus status;
  if (!device_->GetQueueStatus(status)) return 0;
  // The system's output queue is not bounded by OutBufSize; more waiting than
  // that means no room, not a 16-bit wrap to nearly 64 KB of room.
  if (status.outQueue >= outBufSize_) return 0;
  return static_cast<std::uint16_t>(outBufSize_ - status.outQueue);
}

TLineStatus TCommPortDriver::LineStatus() {
  if (!IsOpen()) return {};
  TLineStatus status;
  if (!device_->GetModemStatus(status)) return {};
  return status;
}

std::uint32_t TCommPortDriver::SendBytesTimed(const std::uint8_t* data, std::uint32_t count,
                                              std::uint32_t timeoutMs) {
  if (!IsOpen() || data == nullptr) return 0;
  std::uint32_t total = 0;
  std::uint32_t reference = clock_.TickCount();
  while (count > 0) {
    const std::uint16_t space = OutputFreeSpace();
    std::uint32_t written = 0;
    if (space != 0) {
      if (checkLineStatus_ && LineStatus().Empty()) break;
      const std::uint32_t chunk = std::min<std::uint32_t>(space, count);
      if (!device_->Write(data, chunk, written)) written = 0;
      written = std::min(written, chunk);
    }
    if (written != 0) {
      total += written;
      data += written;
      count -= written;
      reference = clock_.TickCount();
      continue;
    }
    if (static_cast<std::uint32_t>(clock_.TickCount() - reference) > timeoutMs) break;
  }
  return total;
}

std::uint32_t TCommPortDriver::SendBytes(const std::uint8_t* data, std::uint32_t count) {
  return SendBytesTimed(data, count, outputTimeout_);
}

void TCommPortDriver::SetDTR(bool on) {
  if (IsOpen()) device_->SetModemLine(ModemLine::DTR, on);
}

void TCommPortDriver::SetRTS(bool on) {
  if (IsOpen()) device_->SetModemLine(ModemLine::RTS, on);
}

std::uint32_t TCommPortDriver::ReceiveTime(TBaudRate rate, std::uint32_t byteCount) const {
  const std::uint32_t bitsPerSecond = rate == brCustom ? baudRateValue_ : BaudRateNumber(rate);
  if (bitsPerSecond == 0) return 0;  // no rate, no line time (instead of a division by zero)
  const double ms =
      static_cast<double>(byteCount) / (static_cast<double>(bitsPerSecond) / 10.0) * 1000.0;
  const double rounded = std::nearbyint(ms);  // the default rounding mode: ties to even
  constexpr double kMax = std::numeric_limits<std::uint32_t>::max();
  return rounded >= kMax ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(rounded);
}

// --- Poll -------------------------------------------------------------------

void TCommPortDriver::StartPollTimer() { pollTimer_.start(pollingDelay_); }

void TCommPortDriver::StopPollTimer() { pollTimer_.stop(); }

bool TCommPortDriver::ReadInput(std::uint32_t count, std::uint32_t& read, std::uint32_t at) {
  const auto size = static_cast<std::uint32_t>(inBuffer_.size());
  const std::uint32_t fit = at >= size ? 0 : std::min<std::uint32_t>(count, size - at);
  read = 0;
  if (!device_->Read(inBuffer_.data() + at, fit, read)) {
    read = 0;
    return false;
  }
  read = std::min(read, fit);
  return true;
}

void TCommPortDriver::Poll() {
  // A handler that runs a nested event loop (a modal window) must not have its
  // packet overwritten by a poll from inside that loop: the bytes wait in the
  // device until this poll is over.
  if (!IsOpen() || polling_) return;
  {
    PollScope scope(polling_);
    PollDevice();
  }
  if (device_->Gone()) LoseDevice();
}

void TCommPortDriver::LoseDevice() {
  // Left open, the port would look alive and never hear the station again;
  // closed, its owner can open it anew once the device is back.
  Close();
  if (OnDeviceLost) {
    const auto handler = OnDeviceLost;
    handler(this);
  }
}

void TCommPortDriver::PollDevice() {
  QueueStatus status;
  if (!device_->GetQueueStatus(status)) {
    if (device_->Gone()) return;
    status = {};
  }
  std::uint32_t waiting = status.inQueue;

  if (packetSize_ <= 0) {  // stream mode
    if (waiting == 0) return;
    std::uint32_t read = 0;
    if (ReadInput(waiting, read) && read != 0 && OnReceiveData) {
      const auto handler = OnReceiveData;  // the handler may replace itself
      handler(this, inBuffer_.data(), read);
    }
    return;
  }

  if (packetEndTest_) {
    GatherPacket(waiting);
    return;
  }

  // The packet size of this poll: a handler may change the property, and the
  // count below must go on in the steps it started with.
  const auto size = static_cast<std::uint32_t>(packetSize_);
  if (waiting >= size) {
    do {
      std::uint32_t read = 0;
      if (ReadInput(size, read) && read != 0 && OnReceivePacket) {
        const auto handler = OnReceivePacket;
        handler(this, inBuffer_.data(), read);
      }
      // The line time of the packet just taken moves the start on; from none
      // (all bits set) it wraps around to a small tick value.
      packetStartTick_ += ReceiveTime(baudRate_, size);
      waiting -= size;
      if (waiting == 0) packetStartTick_ = kNoPacket;
    } while (waiting >= size);
    return;
  }

  const std::uint32_t now = clock_.TickCount();
  if (packetTimeout_ > 0 && packetStartTick_ != kNoPacket &&
      static_cast<std::uint32_t>(now - packetStartTick_) > static_cast<std::uint32_t>(packetTimeout_)) {
    std::uint32_t read = 0;
    if (ReadInput(waiting, read) && packetMode_ == pmPass && read != 0 && OnReceivePacket) {
      const auto handler = OnReceivePacket;
      handler(this, inBuffer_.data(), read);
    }
    packetStartTick_ = kNoPacket;
    return;
  }

  if (waiting > 0 && packetStartTick_ == kNoPacket) packetStartTick_ = now;
}

void TCommPortDriver::GatherPacket(std::uint32_t waiting) {
  // As in the plain cut, the size of this poll stays what it was when it began.
  const auto size = static_cast<std::uint32_t>(packetSize_);
  const std::uint32_t now = clock_.TickCount();
  for (;;) {
    if (gathered_ >= size) {
      // Full: handed over at once, as a packet of the plain cut is; the start
      // moves on by its line time for whatever still waits.
      packetStartTick_ = waiting == 0 ? kNoPacket : packetStartTick_ + ReceiveTime(baudRate_, size);
      HandOverGathered();
    }
    if (waiting == 0 || !IsOpen()) break;
    std::uint32_t read = 0;
    if (!ReadInput(std::min(waiting, size - gathered_), read, gathered_) || read == 0) break;
    if (packetStartTick_ == kNoPacket) packetStartTick_ = now;  // the first byte of a new packet
    gathered_ += read;
    waiting -= std::min(waiting, read);
    if (gathered_ < size && packetEndTest_(inBuffer_.data(), gathered_)) {
      packetStartTick_ = kNoPacket;
      HandOverGathered();
    }
  }
  // What does not end a frame waits for the time-out, as in the plain cut.
  if (gathered_ > 0 && packetTimeout_ > 0 && packetStartTick_ != kNoPacket &&
      static_cast<std::uint32_t>(now - packetStartTick_) > static_cast<std::uint32_t>(packetTimeout_)) {
    packetStartTick_ = kNoPacket;
    if (packetMode_ == pmPass) {
      HandOverGathered();
    } else {
      gathered_ = 0;  // read and dropped
    }
  }
}

void TCommPortDriver::HandOverGathered() {
  const std::uint32_t count = gathered_;
  // Zero first (and the caller settles the start tick first): the handler
  // may close the port or leave with an exception, and the next packet
  // starts afresh either way.
  gathered_ = 0;
  if (count != 0 && OnReceivePacket) {
    const auto handler = OnReceivePacket;
    handler(this, inBuffer_.data(), count);
  }
}

}  // namespace vorel
