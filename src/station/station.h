// The station side of the driver, without a widget: where an alarm goes.
//
// GUI thread (one event loop):
//
//   StationRuntime (station_runtime.h): CommPortDriver1/2, SimpleTCPClient1,
//   Timer2, Timer3 ── packets, socket events, ticks ──> Station (this file)
//   Station ──> IStationView ──> the runtime's signals ──> TForm1 (draws),
//                                                         StatusKeeper (vorel.status)
//
//   serial packet ──> ReceivePacket ──> MainPortHandler / SecondPortHandler
//        (the frame checked, the event built; the ACK once the event is safe,
//         in the order of the frames)
//                          │
//                          v
//                     EventOutputs ──> SpoolThread (its own thread): a
//                      │       │        packet's .dd8 / .ddm files written,
//                      │       │        one directory flush; posted back:
//                      │       │        the links, the ACK, SpoolListing
//                      │       │        (the index: each file written, removed)
//                      │       v
//                      │   Protocol7Outbox ──> SimpleTCPClient1 ──> server 7
//                      │    (owns each .ddm file: in doubt until the server
//                      │     has read past its frame, or a quiet connection
//                      │     has been ended in order; then removed)
//                      v
//              Protocol8QueueAdapter ──> cl: send queue + Protocol8Outbox
//                                  │  (one record per event: a .dd8 file goes
//                                  │  once answered; an event without a file
//                                  │  has its caller told within 1.4 s)
// link thread (its own):           v
//                               LinkSession ──> blocking TCP ──> server 8
//                                  │
//                                  └──> GuiHandOver ──> posted to the event
//                                       loop: log lines, the indicator
// look-up threads (one per host name at a time): the protocol-7 and
//                               protocol-8 host names, posted back
//
//   Tick (Timer2, every 200 ms) ──> the outboxes settled, the index
//                           refreshed, the .dd8 replay (into the outbox), the
//                           .ddm replay (from the spool through the outbox),
//                           the supervision of both station links, the
//                           reopening of lost ports
//   the replays' files: picked from the index on the loop, read (a bad one
//                           set aside) by the SpoolThread's reader thread,
//                           handed to their link on the loop
//   RetryProtocol7 (Timer3, every 3 s) ──> a new protocol-7 connection while down
//   Close ──> both ports, the protocol-7 socket (its settled files removed),
//             then the link thread stopped and waited for
//
// The window only draws; the port page asks this core to start, stop and
// probe a port. No thread waits for another: the link thread's hand-over
// posts to the event loop, and the event loop never waits for the link.
#pragma once

#include <array>
#include <filesystem>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/clock_setter.h"
#include "base/severity.h"
#include "spool/spool_directory.h"
#include "config/settings.h"
#include "p7/SimpleTCP.h"
#include "p7/frame.h"
#include "p7/reassembly.h"
#include "p8/gui_hand_over.h"
#include "p8/link.h"
#include "p8/link_hand_over.h"
#include "receiver/event_outputs.h"
#include "receiver/frame_handlers.h"
#include "receiver/main_port_handler.h"
#include "receiver/protocol7_replay.h"
#include "receiver/protocol8_replay.h"
#include "receiver/second_port_handler.h"
#include "receiver/station_port.h"
#include "receiver/station_supervision.h"
#include "serial/CPDrv.h"
#include "spool/spool_disk.h"
#include "spool/spool_thread.h"
#include "station/event_loop_scheduler.h"
#include "station/link_adapters.h"
#include "station/lost_port_reopener.h"
#include "station/station_status.h"

namespace vorel {

// The four link indicators of the status page.
enum class StationIndicator { Port1, Port2, Protocol8, Protocol7 };

// What the station tells its runtime (which signals it on to the window),
// or a test.
class IStationView {
 public:
  virtual ~IStationView() = default;
  // The indicator's activity counter moves one step, then it is redrawn.
  virtual void RefreshIndicator(StationIndicator indicator) = 0;
  // The indicator is redrawn from its link flag.
  virtual void RedrawIndicator(StationIndicator indicator) = 0;
  // A line in the operator's log, stamped with the time now, with its level
  // for the journal.
  virtual void AddLogLine(Severity severity, const std::string& text) = 0;
  virtual void ShowTimeSinceLastFrame(TDateTime now, TDateTime lastFrame) = 0;
  // A line in the error log "error.txt".
  virtual void LogError(int code) = 0;
  // An event or frame that could be neither sent nor spooled, with the
  // reason (the operator and the service manager are to hear of it); also
  // one whose spool file could not be written though its link took it (the
  // reason then says so; the station counts only the former as not kept).
  virtual void ReportSpoolLoss(const std::string& loss) = 0;
  // The message server asked the program to close.
  virtual void CloseRequested() = 0;
};

// The components the station runtime owns and the station drives.
struct StationParts {
  TCommPortDriver* mainPort = nullptr;    // CommPortDriver1
  TCommPortDriver* secondPort = nullptr;  // CommPortDriver2
  TSimpleTCPClient* protocol7 = nullptr;  // SimpleTCPClient1
  IClock* clock = nullptr;
  ILocalClockSetter* clockSetter = nullptr;
  // Ends the pauses (a restart frame's 5 s, the DTR pulse after an open);
  // none: the GUI thread's event loop.
  IScheduler* scheduler = nullptr;
};

class Station {
 public:
  // Everything is borrowed; `settings` is read as it stands when each step
  // runs (StartUp loads it from the settings file).
  Station(Settings& settings, StationParts parts, IStationView& view);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // What the start-up did, for the window to show.
  struct StartUpResult {
    std::array<bool, 2> portOpen{};  // main, second
    TDateTime startedAt = 0;
  };
  // The start-up, in this order: both station links lost; the settings read
  // from `settingsFile` (an error there ends the start-up; BuildEventPath
  // then makes the path from what was read); the ports named; the protocol-8
  // link object (`post` queues a call on the GUI thread's event loop); the event
  // path; each port's line settings and its opening; the first protocol-7
  // attempt; the protocol-8 link thread. Nothing can reach a half-made path:
  // the event path exists before a port opens or a link starts.
  StartUpResult StartUp(const std::filesystem::path& settingsFile, GuiPoster post);
  // The close, once the program is to end: the main port (whatever it
  // says), the second port and the protocol-7 socket first, then the link
  // thread (whose last pass may take seconds). An error in one step is
  // reported and the next step still runs. Only the first call closes.
  void Close();
  bool Closed() const { return closed_; }

  // Start-up: both station links lost, the last frames a day old.
  void ResetStationLinks();
  // Start-up, once the settings are read: each port's current name is its
  // configured one.
  void NamePortsFromSettings();
  // Start-up, once the settings are read and before a port opens or a link
  // starts, so that nothing can reach a half-made path: the outputs, the
  // frame handlers, the replays and the supervision. A start-up that failed
  // earlier builds it from whatever settings it got to read.
  void BuildEventPath();
  bool EventPathBuilt() const { return outputs_ != nullptr; }

  // A packet from CommPortDriver1 / CommPortDriver2.
  void ReceivePacket(PortId port, std::span<const std::uint8_t> packet);
  // Timer2, every 200 ms.
  void Tick();
  // Timer3, every 3 s.
  void RetryProtocol7();
  // SimpleTCPClient1's events.
  void Protocol7Connected();
  void Protocol7Disconnected();
  void Protocol7Read(std::span<const std::uint8_t> bytes);
  // A frame of the driver's own (ftPortNumber) on protocol 7, if connected.
  void SendProtocol7(const p7::Frame& frame);

  // A port-status record for the protocol-8 server, when protocol 8 is on.
  void EnqueuePortStatus();
  // A port whose device went away is opened again every 5 s.
  void PortLost(PortId port);

  // The current name of a port: its ComPort setting until the operator
  // starts it under another name.
  const std::string& CurrentName(PortId port) const { return currentName_[Index(port)]; }
  // Whether the operator wants the port running: started at start-up or
  // from its panel, not stopped since. A lost port is reopened only then.
  bool PortWanted(PortId port) const { return wanted_[Index(port)]; }
  // The operator's choice also ends the retries of a port that did not open
  // at start.
  void SetPortWanted(PortId port, bool wanted) {
    wanted_[Index(port)] = wanted;
    reopener_[Index(port)]->EndStartRetries();
  }
  // The port page's actions on one port. StartPort opens the port under
  // `name` (its current name from now on, also when the open fails: the
  // port-status record reports it); the station sees DTR rise as the driver
  // starting, then the line takes the port's configured DTR level. An error
  // while opening is a failure like any other. Either way the operator's
  // choice ends the start-up's attempts at the port.
  bool StartPort(PortId port, const std::string& name);
  void StopPort(PortId port);
  // Whether the device `name` opens now; it is closed again at once.
  bool ProbePort(PortId port, const std::string& name);
  // The COM number of the main port's device, for the message server; none
  // for a device name without one.
  std::optional<int> MainPortComNumber() const;
  const StationPortState& StationLink(PortId port) const { return station_[Index(port)]; }
  bool Protocol7Up() const { return protocol7Up_; }
  // The protocol-8 indicator's flag: set from the start of an attempt.
  bool Protocol8Up() const { return link_ && link_->LinkUp(); }
  // The protocol-8 link object; none while protocol 8 is off.
  cl* Link() const { return link_.get(); }
  // The ports, the links and the spool as they are now: a query that changes
  // nothing. The spool counts come from its index, the delivery counts from
  // the last tick (or the last link stopped).
  StationStatus Status() const;
  // Reads the spool directory into the index now, for what another program
  // did (before the last status of a run).
  void ReadSpoolDirectory();
  std::array<PortStatus, 2> PortStatuses() const;

 private:
  // Start-up, protocol 7: the first connection attempt.
  void StartProtocol7();
  // Start-up, protocol 8: the link object, before the event path is built
  // (its thread starts with StartProtocol8). `post` queues a call on the
  // GUI thread's event loop, where the link thread's hand-over runs.
  void MakeProtocol8(GuiPoster post);
  // Start-up, once the event path is built: the link thread, whose first
  // attempt comes at once.
  void StartProtocol8();
  // The program ends: the link thread is stopped and waited for (one pass,
  // every wait of which is bounded); queued events are in their spool files.
  void StopProtocol8();
  // The end of protocol 7: the frames its server's TCP has taken leave the
  // disk, the rest stay for the next run, and the connection goes.
  void StopProtocol7();
  // The operator started a port under another name (also when it then did
  // not open: the port-status record reports it).
  void SetCurrentName(PortId port, std::string name) { currentName_[Index(port)] = std::move(name); }
  // The spool files the outboxes removed since the last call (their servers
  // have them): counted, and forgotten by the spool's index; the events
  // without a file that their servers have, counted too.
  void TakeDeliveredFiles();
  // The spool's index read again from the directory once a minute, by the
  // spool: taken in only after every file the reading sees is known here.
  void RefreshSpoolListing();
  ISpoolWriter& Spool() { return spoolThread_ ? static_cast<ISpoolWriter&>(*spoolThread_) : inlineSpool_; }
  // Hands the link thread the port statuses when they changed; them.
  std::array<PortStatus, 2> PushPortStatuses();
  static int Index(PortId port) { return port == PortId::Main ? 0 : 1; }
  TCommPortDriver& Port(PortId port) const { return port == PortId::Main ? *parts_.mainPort : *parts_.secondPort; }
  StationSupervision::Port SupervisedPort(PortId port);

  // What the message server's frames ask of the driver.
  class ServerCommands final : public p7::IServerCommands {
   public:
    explicit ServerCommands(Station& station) : station_(station) {}
    void SetClock(TDateTime localDateTime) override;
    void CloseRequested() override { station_.view_.CloseRequested(); }

   private:
    Station& station_;
  };

  // What the protocol-8 link thread asks of the window, run on the window's
  // thread through the hand-over.
  class LinkWindowSide final : public ILinkHandOver {
   public:
    explicit LinkWindowSide(Station& station) : station_(station) {}
    void AddLogLine(Severity severity, const std::string& text) override {
      station_.view_.AddLogLine(severity, text);
    }
    void RefreshIndicator() override { station_.view_.RefreshIndicator(StationIndicator::Protocol8); }
    std::array<PortStatus, 2> PortStatuses() override { return station_.PortStatuses(); }

   private:
    Station& station_;
  };

  Settings& settings_;
  std::optional<TDateTime> linksResetAt_;  // the start-up's reset of the station links
  StationParts parts_;
  IStationView& view_;
  IClock& clock_;
  std::array<StationPortState, 2> station_;
  std::array<std::string, 2> currentName_;
  std::array<bool, 2> wanted_{};
  bool protocol7Up_ = false;  // the protocol-7 link flag
  bool closed_ = false;
  ServerCommands serverCommands_{*this};
  p7::FrameReassembler receiveBuffer_{serverCommands_};
  LinkWindowSide linkWindowSide_{*this};

  GuiPoster guiPoster_;                       // to the GUI thread's event loop
  std::unique_ptr<GuiHandOver> guiHandOver_;  // outlives link_
  std::array<PortStatus, 2> pushedPortStatuses_;
  std::unique_ptr<cl> link_;
  EventLoopScheduler eventLoopScheduler_;
  IScheduler& scheduler_;  // parts_.scheduler or eventLoopScheduler_
  Protocol7Sender protocol7Sender_;
  // Made with the core: the protocol-7 client's events can come before the
  // event path is built.
  Protocol7Outbox protocol7Outbox_{protocol7Sender_, &scheduler_};
  std::unique_ptr<Protocol8QueueAdapter> protocol8Queue_;
  // Writes, flushes and removes the spool files off the event loop; made by
  // the start-up (without it, the outputs write in the packet's turn).
  PosixSpoolDisk spoolDisk_;
  InlineSpoolWriter inlineSpool_{spoolDisk_};
  std::unique_ptr<SpoolThread> spoolThread_;
  bool spoolReading_ = false;  // a reading of the directory is on its way
  // What the spool posts back runs only while the station is there.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::unique_ptr<EventOutputs> outputs_;
  std::unique_ptr<EventOutputsSink> eventSink_;
  std::unique_ptr<MainPortHandler> mainPortHandler_;
  std::unique_ptr<SecondPortHandler> secondPortHandler_;
  std::unique_ptr<StationSupervision> supervision_;
  std::unique_ptr<SpoolListing> spool_;  // the index of the spool directory
  SpoolIndexEvents spoolEvents_{[this] { return spool_.get(); }};  // what the outputs and outboxes tell it
  std::array<std::uint64_t, 2> delivered_{};  // events at each server: protocol 7, protocol 8
  std::uint64_t eventsNotKept_ = 0;
  std::uint64_t eventsDropped_ = 0;  // protocol 8, by NotSendToDiskMivo8
  std::unique_ptr<Protocol7Replay> protocol7Replay_;
  std::unique_ptr<Protocol8Replay> protocol8Replay_;  // none while protocol 8 is off
  std::array<std::unique_ptr<LostPortReopener>, 2> reopener_;
};

}  // namespace vorel
