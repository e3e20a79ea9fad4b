#include "p8/link_session.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>
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
const char kAnswerTooLate[] = "Ответ сервера опоздал - переподсоединение.";
const char kOutOfStep[] = "Ответы сервера сбились - переподсоединение.";

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
    // A record answered, and more wait: the next goes at once. A burst of
    // records is as many exchanges, one after the other.
    if (recordSent_ && !outstanding_ && !outOfStep_ && errorCount_ == 0 && !receiveBuffer_.empty() &&
        link_.QueuedCount() > 0)
      return 0;
    // Every pass counts an error while the last exchange left nothing.
    if (outstanding_ || outOfStep_ || pollDue_ || answerExpected_ || receiveBuffer_.empty() ||
        errorCount_ > kLinkMaxErrors || link_.QueuedCount() > 0)
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
  // One request at a time: none goes while an answer is still awaited.
  if (outstanding_) {
    AwaitAnswer();
    return;
  }
  // Bytes that wait before a request were asked for by none: an extra or
  // unasked answer would pass for the next request's.
  if (outOfStep_ || (link_.LinkUp() && connection_ && connection_->BytesWaiting())) {
    EndConnection(kOutOfStep);
    return;
  }
  recordSent_ = false;
  std::optional<QueuedRecord> written;
  QueuedRecord head;
  if (link_.Peek(head)) {
    recordSent_ = true;
    try {
      // A record whose write failed is not dropped: it goes out again.
      if (SendStep(head.bytes)) {
        link_.Written(head);
        written = head;
      }
    } catch (const std::exception&) {
      ++errorCount_;
    }
  } else if (serverAccepted_ && MoreThanPassed(lastPollTick_, kLinkPollIntervalMs)) {
    pollDue_ = true;
    lastPollTick_ = env_.clock->TickCount();
  }

  if (pollDue_ || answerExpected_ || recordSent_) {
    if (pollDue_) {
      pollDue_ = false;
      try {
        SendStep(BuildRecord(rtPoll, 0, {}));
      } catch (const std::exception&) {
        ++errorCount_;
      }
    }
    answerExpected_ = false;
    outstanding_ = Outstanding{std::move(written), env_.clock->TickCount(), false};
    answerSoFar_.clear();
    AwaitAnswer();
    return;
  }
  // After a failed exchange an idle link counts its way to the reconnect.
  if (receiveBuffer_.empty()) ++errorCount_;
}

void LinkSession::AwaitAnswer() {
  std::uint32_t waitMs = kLinkAnswerWaitMs;
  if (outstanding_->late) {
    const auto waited = static_cast<std::uint32_t>(env_.clock->TickCount() - outstanding_->sentTick);
    waitMs = std::clamp<std::uint32_t>(kLinkLateAnswerLimitMs - std::min(waited, kLinkLateAnswerLimitMs), 1,
                                       kLinkAnswerWaitMs);
  }
  AnswerRead read = AnswerRead::Broken;
  try {
    read = ReceiveStep(waitMs);
  } catch (const std::exception&) {
    ++errorCount_;
    receiveBuffer_.clear();
  }
  if (read == AnswerRead::NotYet) {
    // The first miss is the failed exchange; each further pass without the
    // answer counts as one too.
    ++errorCount_;
    outstanding_->late = true;
    if (!MoreThanPassed(outstanding_->sentTick, kLinkLateAnswerLimitMs - 1)) return;
    // Too late even for a late answer: the request counts as unanswered, and
    // the connection goes, so that its answer cannot come on it any more.
    const Outstanding given = *std::exchange(outstanding_, std::nullopt);
    if (given.head) SettleWrittenHead(*given.head, std::nullopt);
    EndConnection(kAnswerTooLate);
    return;
  }
  const Outstanding done = *std::exchange(outstanding_, std::nullopt);
  const std::optional<RecordHeader> answer =
      read == AnswerRead::Whole ? ParseRecordHeader(receiveBuffer_) : std::optional<RecordHeader>();
  // What arrives after a broken answer or one that is none cannot be paired.
  if (!answer) outOfStep_ = true;
  // Settled before the answer is acted on: a command that ends the link
  // releases the spooled records still queued.
  if (done.head) SettleWrittenHead(*done.head, answer);
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
  // The outbox decides: a file goes for an answer that delivers it and is
  // left to the replay otherwise (no answer in time, garbage, a server
  // gone); a caller waiting for an event without a file hears of an answer
  // that delivers it.
  link_.Settle(head, answer ? std::optional<std::int32_t>(answer->recordType) : std::nullopt, env_.clock->Now());
  if (!head.spoolFile.empty()) {
    link_.DropHead();  // its file holds the event whatever became of this exchange
    return;
  }
  // A record that lives in the queue only is done with once the server
  // answered or the connection outlived the wait. A server that went away
  // before reading it (its connection closed under the answer's wait) may
  // never have seen it: it stays at the head and goes out first on the next
  // connection.
  if (!receiveBuffer_.empty() || (connection_ && connection_->IsOpen())) link_.DropHead();
}

void LinkSession::EndConnection(const char* why) {
  if (connection_ && connection_->IsOpen()) {
    Log(Severity::Warning, why);
    CloseConnection();
  } else {
    OnDisconnected();  // the server closed it already
  }
}

void LinkSession::LinkDown() {
  outstanding_.reset();  // the records of its exchange are released here
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
  outstanding_.reset();
  answerSoFar_.clear();
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

LinkSession::AnswerRead LinkSession::ReceiveStep(std::uint32_t waitMs) {
  receiveBuffer_.clear();
  if (!connection_) return AnswerRead::Broken;
  if (answerSoFar_.size() < kEnvelopeHeaderSize &&
      !connection_->ReadExact(kEnvelopeHeaderSize - answerSoFar_.size(), answerSoFar_, waitMs))
    return connection_->IsOpen() ? AnswerRead::NotYet : AnswerRead::Broken;
  const Bytes header = std::exchange(answerSoFar_, {});
  std::optional<std::int32_t> length = ParseEnvelopeHeader(header);
  if (!length) return AnswerRead::Broken;  // framing comes back with a new connection
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
    if (!connection_->IsOpen() || link_.StopRequested()) return AnswerRead::Broken;
    if (++waits >= kLinkMaxBodyWaits) throw std::runtime_error("answer body stalled");
  }
  receiveBuffer_ = std::move(body);
  return AnswerRead::Whole;
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
