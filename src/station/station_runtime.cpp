#include "station/station_runtime.h"

#include <utility>

#include "base/uncaught_error.h"
#include "station/station_ports.h"

namespace vorel {

StationRuntime::StationRuntime(Parts parts, QObject* parent)
    : QObject(parent),
      clock_(*parts.clock),
      commPortDriver1_(std::make_unique<TCommPortDriver>(nullptr, clock_, parts.makeSerialDevice())),
      commPortDriver2_(std::make_unique<TCommPortDriver>(nullptr, clock_, parts.makeSerialDevice())),
      simpleTCPClient1_(std::make_unique<TSimpleTCPClient>(nullptr, parts.makeSocketApi())) {
  ConfigureStationPort(*commPortDriver1_);
  ConfigureStationPort(*commPortDriver2_);
  station_ = std::make_unique<Station>(
      settings_,
      StationParts{commPortDriver1_.get(), commPortDriver2_.get(), simpleTCPClient1_.get(), &clock_,
                   parts.clockSetter},
      static_cast<IStationView&>(*this));
  startedAt_ = clock_.Now();
  simpleTCPClient1_->SetPort(7788);
  // The handlers before the start-up: its first protocol-7 attempt can fail
  // at once (a host that does not resolve, a network not up yet), and that
  // failure must find the silent error handler, not end the start-up.
  ConnectComponentEvents();

  timer2_.setInterval(200);
  connect(&timer2_, &QTimer::timeout, this, [this] {
    RunGuarded([this] { Timer2Timer(); });
    // Each of the window's and the status file's handlers is guarded where
    // it is connected.
    emit ticked();
  });
  timer3_.setInterval(3000);
  connect(&timer3_, &QTimer::timeout, this, [this] { RunGuarded([this] { Timer3Timer(); }); });
  timer2_.start();
  timer3_.start();
}

StationRuntime::StationRuntime() : StationRuntime(Parts{}) {}

StationRuntime::~StationRuntime() {
  timer2_.stop();
  timer3_.stop();
  RunGuarded([this] { Close(); });
}

Station::StartUpResult StationRuntime::StartUp(const std::filesystem::path& settingsFile) {
  try {
    const Station::StartUpResult started = station_->StartUp(settingsFile, [this](std::function<void()> op) {
      QMetaObject::invokeMethod(this, std::move(op), Qt::QueuedConnection);
    });
    startedAt_ = started.startedAt;
    return started;
  } catch (...) {
    // A start-up cut short by an error: the event path is made from whatever
    // settings it got to read, so that packets and ticks find it.
    if (!station_->EventPathBuilt()) station_->BuildEventPath();
    throw;
  }
}

void StationRuntime::ConnectComponentEvents() {
  commPortDriver1_->OnReceivePacket = [this](TCommPortDriver* sender, const std::uint8_t* packet,
                                             std::uint32_t size) { CommPortDriver1ReceivePacket(sender, packet, size); };
  commPortDriver2_->OnReceivePacket = [this](TCommPortDriver* sender, const std::uint8_t* packet,
                                             std::uint32_t size) { CommPortDriver2ReceivePacket(sender, packet, size); };
  // A port whose device went away is opened again by the driver itself.
  commPortDriver1_->OnDeviceLost = [this](TCommPortDriver*) { station_->PortLost(PortId::Main); };
  commPortDriver2_->OnDeviceLost = [this](TCommPortDriver*) { station_->PortLost(PortId::Second); };
  simpleTCPClient1_->OnConnected = [this](QObject*) { station_->Protocol7Connected(); };
  simpleTCPClient1_->OnDisconnected = [this](QObject*) { station_->Protocol7Disconnected(); };
  simpleTCPClient1_->OnRead = [this](QObject*, TMemoryStream* stream) { SimpleTCPClient1Read(stream); };
  // Failures are silent: the link falls back to idle and Timer3 retries.
  simpleTCPClient1_->OnError = [](QObject*, std::int32_t, std::int32_t, const std::string&) {};
}

void StationRuntime::CommPortDriver1ReceivePacket(TCommPortDriver*, const std::uint8_t* Packet,
                                                  std::uint32_t DataSize) {
  station_->ReceivePacket(PortId::Main, {Packet, DataSize});
}

void StationRuntime::CommPortDriver2ReceivePacket(TCommPortDriver*, const std::uint8_t* Packet,
                                                  std::uint32_t DataSize) {
  station_->ReceivePacket(PortId::Second, {Packet, DataSize});
}

void StationRuntime::SimpleTCPClient1Read(TMemoryStream* Stream) {
  station_->Protocol7Read({Stream->Memory(), static_cast<std::size_t>(Stream->Size())});
}

// Both timers run from the runtime's creation to its end, also while the
// program is closing; a closed station is neither ticked nor connected again.
void StationRuntime::Timer2Timer() {
  if (!station_->Closed()) station_->Tick();
}

void StationRuntime::Timer3Timer() {
  if (!station_->Closed()) station_->RetryProtocol7();
}

}  // namespace vorel
