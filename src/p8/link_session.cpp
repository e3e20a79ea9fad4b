#include "p8/link_session.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>
#include <stdexcept>

#include "config/settings.h"
#include "p8/payloads.h"
#include "p8/record.h"
#include "p8/record_types.h"
#include "version/version_block_source.h"
#include "version/version_info.h"

namespace vorel {
namespace {

// Each attempt (every 5 s while the server cannot be reached) is routine:
// the journal keeps it as debug; what changed is said by the other lines.
const char kConnecting[] = "Соединение...";
const char kConnected[] = "Соединение установлено.";
const char kTooManyErrors[] = "Ошибки по сети - переподсоединение.";
const char kServerDisconnect[] = "Сервер дал команду на рассоединение.";
const char kAccessDenied[] = "Доступ запрещен.";
const char kOutOfStep[] = "Ответ сервера опоздал - переподсоединение.";

}  // namespace

std::string OwnFileVersionText() {
  // The handshake names the file twice; the second load is the one that is
  // read.
  TVersionInfo reader(OwnExecutablePath());
  reader.SetFileName(OwnExecutablePath());
  return reader.FileVersionText();
}

LinkSession::LinkSession(ILinkState& link, LinkEnvironment environment) : link_(link), env_(std::move(environment)) {
  lastPollTick_ = env_.clock->TickCount();
  link_.SetLinkUp(false);
}

LinkSession::~LinkSession() = default;

bool LinkSession::MoreThanPassed(std::uint32_t since, std::uint32_t ms) {
  // Modulo 2^32, so that a wrap of the tick counter changes nothing.
  return static_cast<std::uint32_t>(env_.clock->TickCount() - since) > ms;
}

std::uint32_t LinkSession::UntilMoreThan(std::uint32_t since, std::uint32_t ms) const {
  const auto elapsed = static_cast<std::uint32_t>(env_.clock->TickCount() - since);
  return elapsed > ms ? 1 : ms - elapsed + 1;
}

std::uint32_t LinkSession::QuietMs() const {
  if (link_.StopRequested()) return 1;
  if (link_.LinkUp()) {
    // Every pass counts an error while the last exchange left nothing.
    if (pollDue_ || answerExpected_ || receiveBuffer_.empty() || errorCount_ > kLinkMaxErrors ||
        link_.QueuedCount() > 0)
      return 1;
    if (serverAccepted_) return std::min(kLinkQuietMaxMs, UntilMoreThan(lastPollTick_, kLinkPollIntervalMs));
    return kLinkQuietMaxMs;
  }
  if (link_.LinkEnabled()) {
    if (!lastConnectTick_) return 1;
    return std::min(kLinkQuietMaxMs, UntilMoreThan(*lastConnectTick_, kLinkReconnectPauseMs));
  }
  return accessDeniedLogged_ ? kLinkQuietMaxMs : 1;
}

void LinkSession::RunPass() {
  if (link_.LinkUp()) {
    ExchangePass();
  } else if (link_.LinkEnabled()) {
    if (!lastConnectTick_ || MoreThanPassed(*lastConnectTick_, kLinkReconnectPauseMs)) ConnectionAttempt();
  } else if (!accessDeniedLogged_) {
    accessDeniedLogged_ = true;
    Log(Severity::Warning, kAccessDenied);
  }
}

void LinkSession::ExchangePass() {
  if (errorCount_ > kLinkMaxErrors) {
    errorCount_ = 0;
    Log(Severity::Warning, kTooManyErrors);
    LinkDown();  // the next attempt replaces the connection
  }
  recordSent_ = false;
  bool headWritten = false;
  QueuedRecord head;
  const bool headWaiting = link_.Peek(head);
  if (headWaiting && outOfStep_ && (!head.spoolFile.empty() || head.awaited)) {
    // Its answer could not be told from a late one: a new connection first,
    // which is in step. The records that files hold go back to them. A
    // connection the server has closed already waits for the 5-s rule, so
    // that a server that closes every connection is not tried in a loop.
    if (connection_ && connection_->IsOpen()) {
      Log(Severity::Warning, kOutOfStep);
      CloseConnection();
      lastConnectTick_.reset();  // the new attempt comes at once
    } else {
      OnDisconnected();
    }
    return;
  }
  if (headWaiting) {
    recordSent_ = true;
    try {
      // A record whose write failed is not dropped: it goes out again.
      headWritten = SendStep(head.bytes);
      if (headWritten && !head.spoolFile.empty()) link_.Written(head);
    } catch (const std::exception&) {
      ++errorCount_;
    }
  } else if (serverAccepted_ && MoreThanPassed(lastPollTick_, kLinkPollIntervalMs)) {
    pollDue_ = true;
    lastPollTick_ = env_.clock->TickCount();
  }

  bool answered = false;
  const bool exchange = pollDue_ || answerExpected_ || recordSent_;
  if (exchange) {
    if (pollDue_) {
      pollDue_ = false;
      try {
        SendStep(BuildRecord(rtPoll, 0, {}));
      } catch (const std::exception&) {
        ++errorCount_;
      }
    }
    answerExpected_ = false;
    try {
      ReceiveStep();
      answered = true;
    } catch (const std::exception&) {
      ++errorCount_;
      receiveBuffer_.clear();
    }
  }
  const std::optional<RecordHeader> answer =
      answered ? ParseRecordHeader(receiveBuffer_) : std::optional<RecordHeader>();
  // An exchange without its answer: the answer may still come, and would be
  // read as a later exchange's.
  if (exchange && !answer) outOfStep_ = true;
  // Settled before the answer is acted on: a command that ends the link
  // releases the spooled records still queued.
  if (headWritten) SettleWrittenHead(head, answer);
  // Also in passes without an exchange: after a failed one, an idle link
  // counts its way to the reconnect.
  if (receiveBuffer_.empty()) ++errorCount_;
  if (!answer) return;  // an answer that fails the check: neither an error nor a valid answer
  errorCount_ = 0;
  Refresh();
  ActOnAnswer(answer->recordType);
  // Up for the people who watch it once the server answered, unless the
  // answer ended the link.
  if (link_.LinkUp()) link_.SetEstablished();
}

void LinkSession::SettleWrittenHead(const QueuedRecord& head, const std::optional<RecordHeader>& answer) {
  // Access denied keeps nothing: the awaited record is not delivered.
  if (answer && answer->recordType != rtAccessDenied) link_.Answered(head.bytes);
  if (!head.spoolFile.empty()) {
    // Its file holds the event whatever became of this exchange: the outbox
    // removes it for an answer that delivers it and leaves it to the replay
    // otherwise (no answer in time, garbage, a server gone).
    link_.Settle(head, answer ? std::optional<std::int32_t>(answer->recordType) : std::nullopt,
                 env_.clock->Now());
    link_.DropHead();
    return;
  }
  // A record that lives in the queue only is done with once the server
  // answered or the connection outlived the wait. A server that went away
  // before reading it (its connection closed under the answer's wait) may
  // never have seen it: it stays at the head and goes out first on the next
  // connection.
  if (!receiveBuffer_.empty() || (connection_ && connection_->IsOpen())) link_.DropHead();
}

void LinkSession::LinkDown() {
  link_.SetLinkUp(false);
  link_.ReleaseSpooled();
}

void LinkSession::ConnectionAttempt() {
  Refresh();
  Log(Severity::Debug, kConnecting);
  lastConnectTick_ = env_.clock->TickCount();
  link_.SetLinkUp(true);  // events are queued during the attempt
  connection_.reset();  // no disconnected notice for the old one
  connection_ = env_.connections->Create();
  serverAccepted_ = false;
  outOfStep_ = false;
  ServerAddress address;
  try {
    address = ReadServerAddress(env_.configFile);
  } catch (const std::exception&) {
    // An unreadable file gives the defaults, as a missing one does.
  }
  bool connected = connection_->Connect(address.Address, address.Port, kLinkConnectTimeoutMs);
  if (!connected) {
    // Events queued during the attempt wait in their spool files.
    LinkDown();
    return;
  }
  Handshake();
  link_.ConnectionMade(env_.clock->Now());
  Log(Severity::Info, kConnected);
  Refresh();
}

void LinkSession::Handshake() {
  link_.Enqueue(rtHello, HelloPayload());
  std::array<PortStatus, 2> ports = env_.handOver->PortStatuses();
  link_.Enqueue(rtPortStatus, PortStatusPayload(ports[0], ports[1]));
  link_.Enqueue(rtFirstNumber, FirstNumberPayload(env_.firstNumber));
  answerExpected_ = true;
  std::string version = env_.versionText ? env_.versionText() : std::string();
  link_.Enqueue(rtVersion, VersionPayload(version));
}

bool LinkSession::SendStep(const Bytes& record) {
  Bytes frame = BuildFrame(record);
  if (connection_ && connection_->WriteAll(frame)) return true;
  CloseConnection();
  ++errorCount_;
  return false;
}

void LinkSession::ReceiveStep() {
  receiveBuffer_.clear();
  if (!connection_) return;
  Bytes header;
  if (!connection_->ReadExact(kEnvelopeHeaderSize, header, kLinkAnswerWaitMs)) return;
  std::optional<std::int32_t> length = ParseEnvelopeHeader(header);
  if (!length) return;  // framing comes back with the reconnect
  if (*length < 0 || *length > kLinkMaxAnswerBody)
    throw std::length_error("answer body length " + std::to_string(*length));
  const auto total = static_cast<std::size_t>(*length);
  Bytes body;
  body.reserve(total);
  int waits = 0;
  while (body.size() < total) {
    std::size_t want = std::min(total - body.size(), kLinkBodyChunk);
    if (connection_->ReadExact(want, body, kLinkAnswerWaitMs)) continue;
    // A slow server gets a few more waits; a connection that is gone, or a
    // shutdown, ends the answer as no answer - and so does a server that
    // stopped or trickles in the middle of its answer: it would hold the
    // link (and the program's end) for good.
    if (!connection_->IsOpen() || link_.StopRequested()) return;
    if (++waits >= kLinkMaxBodyWaits) throw std::runtime_error("answer body stalled");
  }
  receiveBuffer_ = std::move(body);
}

void LinkSession::ActOnAnswer(std::int32_t recordType) {
  switch (recordType) {
    case rtAccept:
      serverAccepted_ = true;
      break;
    case rtEventMainAck:
    case rtEventSecondAck:
      break;  // settled with the record that the exchange carried
    case rtPing:
      link_.Enqueue(rtPingReply, {});
      break;
    case rtAccessDenied:
      LinkDown();
      link_.DisableLink();
      Refresh();
      CloseConnection();
      break;
    case rtClose:
      LinkDown();
      Refresh();
      CloseConnection();
      break;
    case rtDisconnect:
      errorCount_ = 0;
      lastConnectTick_ = env_.clock->TickCount();
      LinkDown();
      Refresh();
      Log(Severity::Warning, kServerDisconnect);
      break;
    default:
      break;
  }
}

void LinkSession::CloseConnection() {
  if (connection_ && connection_->Close()) OnDisconnected();
}

void LinkSession::OnDisconnected() {
  LinkDown();
  Refresh();
}

void LinkSession::Finish() {
  CloseConnection();
  connection_.reset();
}

}  // namespace vorel
