// StationRuntime: the running driver without its window. It owns both serial
// components (CommPortDriver1, CommPortDriver2), the protocol-7 client
// (SimpleTCPClient1), the timers (Timer2: the station's tick every 200 ms,
// which is also the status tick; Timer3: the protocol-7 retry every 3 s), the
// settings and the station core they feed. Each component event is one call
// into the core. What the core reports comes out as signals, for the window
// to draw and for the status file; the runtime itself draws nothing and runs
// without a window.
#pragma once

#include <QObject>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "base/clock.h"
#include "base/clock_setter.h"
#include "base/severity.h"
#include "config/settings.h"
#include "p7/SimpleTCP.h"
#include "serial/CPDrv.h"
#include "station/station.h"

namespace vorel {

class StationRuntime final : public QObject, private IStationView {
  Q_OBJECT

 public:
  // Where the runtime's parts come from; tests substitute each.
  struct Parts {
    IClock* clock = &SystemClock();
    ILocalClockSetter* clockSetter = &SystemClockSetter();
    std::function<std::unique_ptr<ISerialDevice>()> makeSerialDevice = [] { return CreateSystemSerialDevice(); };
    std::function<std::unique_ptr<ISocketApi>()> makeSocketApi = [] { return CreateSystemSocketApi(); };
  };

  // The components made and set up, their events wired to the core, the
  // timers running (they tick once the event loop runs).
  explicit StationRuntime(Parts parts, QObject* parent = nullptr);
  // The machine's own clock, serial devices and sockets.
  StationRuntime();
  // Closes the station if nobody did (an end the close sequence did not
  // begin).
  ~StationRuntime() override;
  StationRuntime(const StationRuntime&) = delete;
  StationRuntime& operator=(const StationRuntime&) = delete;

  // The station's start-up (Station::StartUp) with the settings file; the
  // link thread's hand-over runs on this object's event loop. An error ends
  // the start-up and goes to the caller, but the event path is made all the
  // same from whatever settings were read.
  Station::StartUpResult StartUp(const std::filesystem::path& settingsFile);
  // The close: Station::Close (once; the later calls do nothing).
  void Close() { station_->Close(); }

  TCommPortDriver* CommPortDriver1() const { return commPortDriver1_.get(); }
  TCommPortDriver* CommPortDriver2() const { return commPortDriver2_.get(); }
  TSimpleTCPClient* SimpleTCPClient1() const { return simpleTCPClient1_.get(); }
  Station& Core() const { return *station_; }
  const Settings& CurrentSettings() const { return settings_; }
  IClock& Clock() const { return clock_; }
  // When the start-up ran to its end; the runtime's creation until then.
  TDateTime StartedAt() const { return startedAt_; }

 signals:
  // What the station reports (IStationView), in the order it reports it.
  void indicatorRefreshed(vorel::StationIndicator indicator);
  void indicatorRedrawn(vorel::StationIndicator indicator);
  void logLineAdded(vorel::Severity severity, const std::string& text);
  void timeSinceLastFrameShown(vorel::TDateTime now, vorel::TDateTime lastFrame);
  void errorLogged(int code);
  void spoolLossReported(const std::string& loss);
  void closeRequested();
  // Timer2, after the station's tick: the moment to draw and to look at the
  // status.
  void ticked();

 private:
  void RefreshIndicator(StationIndicator indicator) override { emit indicatorRefreshed(indicator); }
  void RedrawIndicator(StationIndicator indicator) override { emit indicatorRedrawn(indicator); }
  void AddLogLine(Severity severity, const std::string& text) override { emit logLineAdded(severity, text); }
  void ShowTimeSinceLastFrame(TDateTime now, TDateTime lastFrame) override {
    emit timeSinceLastFrameShown(now, lastFrame);
  }
  void LogError(int code) override { emit errorLogged(code); }
  void ReportSpoolLoss(const std::string& loss) override { emit spoolLossReported(loss); }
  void CloseRequested() override { emit closeRequested(); }

  // The component events, each handed to the core.
  void ConnectComponentEvents();
  void CommPortDriver1ReceivePacket(TCommPortDriver* Sender, const std::uint8_t* Packet, std::uint32_t DataSize);
  void CommPortDriver2ReceivePacket(TCommPortDriver* Sender, const std::uint8_t* Packet, std::uint32_t DataSize);
  void SimpleTCPClient1Read(TMemoryStream* Stream);
  void Timer2Timer();
  void Timer3Timer();

  IClock& clock_;
  Settings settings_;
  std::unique_ptr<TCommPortDriver> commPortDriver1_;
  std::unique_ptr<TCommPortDriver> commPortDriver2_;
  std::unique_ptr<TSimpleTCPClient> simpleTCPClient1_;
  std::unique_ptr<Station> station_;
  QTimer timer2_;
  QTimer timer3_;
  TDateTime startedAt_ = 0;
};

}  // namespace vorel
