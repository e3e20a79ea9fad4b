#include "station/station.h"

#include <utility>

#include "p8/payloads.h"
#include "p8/record_types.h"
#include "base/uncaught_error.h"
#include "spool/spool_file.h"
#include "station/station_ports.h"

namespace vorel {
namespace {

// NotSendToDiskMivo8 keeps no protocol-8 event on disk: one the link cannot
// take is gone, while the station has its ACK. The operator chose it; the
// log says it at the start and for each event.
const char kNoDiskForProtocol8[] =
    "Внимание: NotSendToDiskMivo8=1 - события протокола 8 не записываются на диск; когда связь их не "
    "принимает, они теряются, хотя станция получает подтверждение.";

std::string DroppedEventLine(const std::string& what) {
  return "Событие отброшено (" + what + "): связь не приняла, запись на диск отключена (NotSendToDiskMivo8=1).";
}

}  // namespace

Station::Station(Settings& settings, StationParts parts, IStationView& view)
    : settings_(settings),
      parts_(parts),
      view_(view),
      clock_(*parts.clock),
      scheduler_(parts.scheduler ? *parts.scheduler : eventLoopScheduler_),
      protocol7Sender_(*parts.protocol7) {
  for (PortId port : {PortId::Main, PortId::Second}) {
    LostPortReopener::Callbacks callbacks;
    callbacks.wanted = [this, port] { return PortWanted(port); };
    callbacks.log = [this](Severity severity, const std::string& line) { view_.AddLogLine(severity, line); };
    callbacks.stateChanged = [this, port] {
      // A port that did not open at start and opened now runs as if started.
      if (Port(port).IsOpen()) wanted_[Index(port)] = true;
      EnqueuePortStatus();
    };
    reopener_[Index(port)] =
        std::make_unique<LostPortReopener>(Port(port), clock_, scheduler_, std::move(callbacks));
  }
}

Station::~Station() {
  *alive_ = false;
  StopProtocol8();
}

Station::StartUpResult Station::StartUp(const std::filesystem::path& settingsFile, GuiPoster post) {
  ResetStationLinks();
  LoadSettings(settingsFile, settings_);
  if (settings_.SendMivo8 && settings_.NotSendToDiskMivo8) view_.AddLogLine(Severity::Warning, kNoDiskForProtocol8);
  parts_.protocol7->SetHost(settings_.host);
  NamePortsFromSettings();
  if (!spoolThread_) spoolThread_ = std::make_unique<SpoolThread>(spoolDisk_, post);
  if (settings_.SendMivo8) MakeProtocol8(std::move(post));
  BuildEventPath();

  StartUpResult result;
  for (const PortId port : {PortId::Main, PortId::Second}) {
    ApplyLineSettings(settings_.Port(port), Port(port));
    ApplyPacketCut(port, settings_.Port(port), Port(port));
    const bool open = OpenPortAtStartUp(Port(port), settings_.Port(port), scheduler_);
    SetPortWanted(port, open);
    // A configured port that does not open yet is tried again, as a lost
    // one is: without a window nobody would press Start. Its panel shows
    // stopped until it opens.
    if (!open && settings_.Port(port).ComPort != kNoPortName) reopener_[Index(port)]->NotOpenedAtStart();
    result.portOpen[Index(port)] = open;
  }
  if (settings_.SendMivo7) StartProtocol7();
  if (settings_.SendMivo8) StartProtocol8();
  result.startedAt = clock_.Now();
  return result;
}

StationStatus Station::Status() const {
  StationStatus s;
  const auto port = [this](PortId id) {
    const StationPortState& station = station_[Index(id)];
    SerialPortStatus p{CurrentName(id), Port(id).IsOpen(), station.linkUp, std::nullopt};
    // The start value lies a day before the start: no frame yet.
    if (linksResetAt_ && station.lastFrameTime >= *linksResetAt_) p.lastFrame = station.lastFrameTime;
    return p;
  };
  s.main = port(PortId::Main);
  s.second = port(PortId::Second);
  const auto link = [](bool on, bool up, bool trying) {
    if (!on) return LinkState::Off;
    return up ? LinkState::Up : trying ? LinkState::Connecting : LinkState::Down;
  };
  s.protocol7 = link(settings_.SendMivo7, Protocol7Up(), parts_.protocol7->ConnectRequested());
  // Protocol 8 counts as up once its server answered on the connection.
  s.protocol8 = link(link_ != nullptr, link_ && link_->Established(), Protocol8Up());
  if (spool_) {
    s.ddmFiles = spool_->Count(kProtocol7SpoolExtension);
    s.dd8Files = spool_->Count(kProtocol8SpoolExtension);
    if (s.ddmFiles > 0) s.ddmNext = spool_->First(kProtocol7SpoolExtension);
    if (s.dd8Files > 0) s.dd8Next = spool_->First(kProtocol8SpoolExtension);
  }
  if (mainPortHandler_) {
    s.alarms.received = mainPortHandler_->AlarmsReceived();
    s.alarms.acknowledged = mainPortHandler_->AlarmsAcknowledged();
    s.alarms.notAcknowledged = mainPortHandler_->AlarmsNotAcknowledged();
    s.alarms.awaitingAck = mainPortHandler_->AlarmsAwaitingAck();
  }
  if (secondPortHandler_) s.alarms.receivedSecond = secondPortHandler_->AlarmsReceived();
  s.alarms.notKept = eventsNotKept_;
  s.alarms.dropped = eventsDropped_;
  s.alarms.deliveredProtocol7 = delivered_[0];
  s.alarms.deliveredProtocol8 = delivered_[1];
  return s;
}

void Station::ReadSpoolDirectory() {
  TakeDeliveredFiles();
  if (spool_) spool_->Rescan();
}

void Station::TakeDeliveredFiles() {
  const auto take = [this](std::vector<std::string> files, std::uint64_t& delivered) {
    delivered += files.size();
    for (const std::string& file : files) spoolEvents_.Gone(file);
  };
  take(protocol7Outbox_.TakeRemoved(), delivered_[0]);
  delivered_[0] += protocol7Outbox_.TakeDeliveredUnfiled();
  if (link_) {
    take(link_->Outbox().TakeRemoved(), delivered_[1]);
    delivered_[1] += link_->TakeAnsweredAwaited();
  }
}

void Station::Close() {
  if (closed_) return;
  closed_ = true;
  try {
    parts_.mainPort->Close();
  } catch (...) {
    // the program ends whatever the port says
  }
  RunGuarded([this] {
    if (parts_.secondPort->IsOpen()) parts_.secondPort->Close();
  });
  RunGuarded([this] { StopProtocol7(); });
  StopProtocol8();
}

void Station::ResetStationLinks() {
  const TDateTime now = clock_.Now();
  linksResetAt_ = now;
  for (StationPortState& port : station_) port.Reset(now);
}

void Station::NamePortsFromSettings() { currentName_ = {settings_.port.ComPort, settings_.portUSB.ComPort}; }

void Station::StartProtocol7() { parts_.protocol7->SetConnected(true); }

void Station::StopProtocol7() {
  protocol7Outbox_.Settle();
  TakeDeliveredFiles();
  parts_.protocol7->SetConnected(false);
}

void Station::MakeProtocol8(GuiPoster post) {
  link_ = std::make_unique<cl>();
  guiPoster_ = post;
  guiHandOver_ = std::make_unique<GuiHandOver>(std::move(post), linkWindowSide_);
  pushedPortStatuses_ = PortStatuses();
  guiHandOver_->SetPortStatuses(pushedPortStatuses_);
}

void Station::StartProtocol8() {
  if (!link_) return;
  // The ports as the start-up left them, for the first handshake.
  pushedPortStatuses_ = PortStatuses();
  guiHandOver_->SetPortStatuses(pushedPortStatuses_);
  LinkEnvironment environment;
  environment.handOver = guiHandOver_.get();
  environment.firstNumber = settings_.FirstNumber;
  link_->Start(std::move(environment));
}

// The link thread never waits for the window; the hand-over is closed first so
// that nothing it posted runs once the station is closing, then the thread is
// joined.
void Station::StopProtocol8() {
  if (!link_) return;
  link_->RequestStop();
  guiHandOver_->Close();
  link_->Join();
  TakeDeliveredFiles();  // the last pass's, before the outbox goes
  protocol8Replay_.reset();
  protocol8Queue_.reset();
  if (outputs_) outputs_->SetProtocol8(nullptr);
  link_.reset();
}

void Station::BuildEventPath() {
  // A driver killed in the middle of a spool write left its temporary file.
  RemoveUnfinishedSpoolFiles(settings_.PathForSoob);
  spool_ = std::make_unique<SpoolListing>(settings_.PathForSoob);
  // Read here, while no file is on its way; later readings go through the
  // spool, behind the files handed to it.
  spool_->Rescan();
  if (link_) {
    protocol8Queue_ = std::make_unique<Protocol8QueueAdapter>(*link_, guiPoster_, scheduler_);
    protocol8Replay_ =
        std::make_unique<Protocol8Replay>(*link_,
                                          [this](Severity severity, const std::string& line) {
                                            view_.AddLogLine(severity, line);
                                          },
                                          settings_.SoobPerTick, &Spool());
  }
  EventOutputs::Callbacks callbacks;
  callbacks.refreshProtocol7Indicator = [this] { view_.RefreshIndicator(StationIndicator::Protocol7); };
  callbacks.logError = [this](int code) { view_.LogError(code); };
  callbacks.spoolFailed = [this](const std::string& loss) {
    ++eventsNotKept_;
    view_.ReportSpoolLoss(loss);
  };
  callbacks.spoolNotWritten = [this](const std::string& failure) {
    view_.ReportSpoolLoss(failure + " - событие передано по связи");
  };
  callbacks.dropped = [this](const std::string& what) {
    ++eventsDropped_;
    view_.AddLogLine(Severity::Warning, DroppedEventLine(what));
  };
  callbacks.spoolWritten = [this](const std::string& file) { spoolEvents_.Written(file); };
  // The spool's index forgets a delivered file at once; one that could not
  // be removed comes back for the replay.
  protocol7Outbox_.SetSpool(&Spool(), [this, alive = std::weak_ptr<bool>(alive_)](const std::string& file) {
    const std::shared_ptr<bool> there = alive.lock();
    if (there && *there) spoolEvents_.Written(file);
  });
  outputs_ = std::make_unique<EventOutputs>(OutputSettings::From(settings_), clock_, protocol7Outbox_,
                                            protocol8Queue_.get(), std::move(callbacks), &Spool());
  eventSink_ = std::make_unique<EventOutputsSink>(*outputs_);
  mainPortHandler_ = std::make_unique<MainPortHandler>(*parts_.mainPort, station_[0], settings_, clock_, scheduler_,
                                                       *eventSink_,
                                                       [this] { view_.RefreshIndicator(StationIndicator::Port1); });
  // A restart frame whose reopening failed: tried again every 5 s.
  mainPortHandler_->SetReopenFailed([this] { reopener_[0]->DeviceLost(); });
  mainPortHandler_->SetStillWanted([this] { return PortWanted(PortId::Main); });
  secondPortHandler_ = std::make_unique<SecondPortHandler>(
      station_[1], settings_, clock_, *eventSink_, [this] { view_.RefreshIndicator(StationIndicator::Port2); });
  protocol7Replay_ = std::make_unique<Protocol7Replay>(
      protocol7Outbox_,
      Protocol7Replay::Callbacks{[this] { view_.RefreshIndicator(StationIndicator::Protocol7); },
                                 [this](Severity severity, const std::string& line) {
                                   view_.AddLogLine(severity, line);
                                 }},
      settings_.SoobPerTick, &Spool());
  StationSupervision::LinkFrameOutput linkFrames;
  if (settings_.SendMivo7)
    linkFrames = [this](p7::FrameType type, std::int32_t tag) { outputs_->SendLinkFrame(type, tag); };
  supervision_ = std::make_unique<StationSupervision>(settings_.Attention, std::move(linkFrames),
                                                      [this](int code) { view_.LogError(code); });
}

void Station::ReceivePacket(PortId port, std::span<const std::uint8_t> packet) {
  // The packet's files go to the spool together, also when the handler
  // raises half-way (the traffic log): what it offered is handed over.
  outputs_->BeginPacket();
  try {
    if (port == PortId::Main)
      mainPortHandler_->ReceivePacket(packet);
    else
      secondPortHandler_->ReceivePacket(packet);
  } catch (...) {
    try {
      outputs_->EndPacket();
    } catch (...) {
      // The handler's own error is the one to report.
    }
    throw;
  }
  outputs_->EndPacket();
}

void Station::Tick() {
  // The frames the server's TCP took since the last tick leave the disk
  // before the directory is read.
  protocol7Outbox_.Settle();
  // Both replays take their files from the spool's index, which knows what
  // was written and removed since; the directory itself is read once a
  // minute, for what another program did.
  RefreshSpoolListing();
  TakeDeliveredFiles();
  if (protocol8Replay_) protocol8Replay_->Step(*spool_, clock_.Now());
  if (settings_.SendMivo7) protocol7Replay_->Step(*spool_);
  view_.ShowTimeSinceLastFrame(clock_.Now(), station_[0].lastFrameTime);
  supervision_->Check(SupervisedPort(PortId::Main), clock_.Now());
  supervision_->Check(SupervisedPort(PortId::Second), clock_.Now());
  for (auto& reopener : reopener_) reopener->Tick();
  // For the link thread's next handshake: a port opened, closed or renamed
  // by any path since the last tick.
  PushPortStatuses();
}

void Station::RefreshSpoolListing() {
  const std::uint32_t tick = clock_.TickCount();
  if (spoolReading_ || !spool_->RescanDue(tick)) return;
  spoolReading_ = true;
  // A file on disk that the loop has not heard of yet is on its way to its
  // link: taken from a reading, the replay would send it a second time.
  auto reading = std::make_shared<std::optional<SpoolListing::Reading>>();
  Spool().Read([reader = spool_->Reader(), reading] { *reading = reader(); },
               [this, alive = std::weak_ptr<bool>(alive_), listing = spool_.get(), reading, tick] {
                 const std::shared_ptr<bool> there = alive.lock();
                 if (!there || !*there) return;
                 spoolReading_ = false;
                 if (*reading && listing == spool_.get()) spool_->Take(std::move(**reading), tick);
               });
}

StationSupervision::Port Station::SupervisedPort(PortId port) {
  const StationIndicator indicator = port == PortId::Main ? StationIndicator::Port1 : StationIndicator::Port2;
  return {&station_[Index(port)], port == PortId::Main ? kMainPortTag : kSecondPortTag,
          [this, indicator] { view_.RedrawIndicator(indicator); }};
}

void Station::RetryProtocol7() {
  if (!parts_.protocol7->Connected()) parts_.protocol7->SetConnected(true);
}

void Station::Protocol7Connected() {
  protocol7Up_ = true;
  view_.RedrawIndicator(StationIndicator::Protocol7);
  SendProtocol7(p7::BuildHelloFrame());
  // A device name without a COM number (a path without trailing digits)
  // reports 0.
  SendProtocol7(p7::BuildPortNumberFrame(p7::ComPortNumber(parts_.mainPort->PortName()).value_or(0)));
}

void Station::Protocol7Disconnected() {
  // What the server's TCP had not acknowledged died with the connection.
  protocol7Outbox_.ConnectionEnded();
  protocol7Up_ = false;
  view_.RedrawIndicator(StationIndicator::Protocol7);
}

void Station::Protocol7Read(std::span<const std::uint8_t> bytes) { receiveBuffer_.Accept(bytes); }

// The greeting and port number: no alarm, so no file; a part sent still ends
// the connection, so that the server's 555-byte stream stays in step.
void Station::SendProtocol7(const p7::Frame& frame) { protocol7Outbox_.SendUnfiled(frame); }

void Station::ServerCommands::SetClock(TDateTime localDateTime) {
  station_.parts_.clockSetter->SetLocalDateTime(localDateTime);
}

void Station::EnqueuePortStatus() {
  if (!link_) return;  // protocol 8 is off
  const std::array<PortStatus, 2> ports = PushPortStatuses();
  link_->Enqueue(rtPortStatus, PortStatusPayload(ports[0], ports[1]));
}

std::array<PortStatus, 2> Station::PushPortStatuses() {
  std::array<PortStatus, 2> ports = PortStatuses();
  if (guiHandOver_ && ports != pushedPortStatuses_) {
    guiHandOver_->SetPortStatuses(ports);
    pushedPortStatuses_ = ports;
  }
  return ports;
}

bool Station::StartPort(PortId port, const std::string& name) {
  TCommPortDriver& driver = Port(port);
  driver.SetPortName(DeviceName(name));
  SetCurrentName(port, name);
  bool open = false;
  try {
    open = driver.Open();
  } catch (...) {
  }
  if (open) {
    driver.SetDTR(true);
    driver.SetDTR(settings_.Port(port).DTR);
  }
  SetPortWanted(port, open);
  return open;
}

void Station::StopPort(PortId port) {
  if (Port(port).IsOpen()) Port(port).Close();
  SetPortWanted(port, false);
}

bool Station::ProbePort(PortId port, const std::string& name) {
  TCommPortDriver& driver = Port(port);
  driver.SetPortName(DeviceName(name));
  try {
    if (!driver.Open()) return false;
  } catch (...) {
    return false;
  }
  driver.Close();
  return true;
}

std::optional<int> Station::MainPortComNumber() const { return p7::ComPortNumber(parts_.mainPort->PortName()); }

void Station::PortLost(PortId port) { reopener_[Index(port)]->DeviceLost(); }

std::array<PortStatus, 2> Station::PortStatuses() const {
  return {PortStatus{currentName_[0], parts_.mainPort->IsOpen()},
          PortStatus{currentName_[1], parts_.secondPort->IsOpen()}};
}

}  // namespace vorel
