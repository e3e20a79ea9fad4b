#include "p8/link.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "p8/record.h"
#include "p8/record_types.h"

namespace vorel {

bool cl::Enqueue(std::int32_t recordType, std::span<const std::uint8_t> payload) {
  return Push(recordType, payload, nullptr).has_value();
}

bool cl::EnqueueAwaited(std::int32_t recordType, std::span<const std::uint8_t> payload,
                        Protocol8Outbox::AnswerSettled settled) {
  const std::optional<std::uint64_t> sequence = Push(recordType, payload, nullptr, std::move(settled));
  if (!sequence) return false;
  outbox_.StartBound(*sequence);  // outside the queue's lock: it calls the scheduler
  return true;
}

bool cl::EnqueueSpooled(std::int32_t recordType, std::span<const std::uint8_t> payload,
                        const std::string& spoolFile) {
  return Push(recordType, payload, &spoolFile).has_value();
}

bool cl::EnqueueReplayed(std::int32_t recordType, std::span<const std::uint8_t> payload,
                         const std::string& spoolFile, TDateTime now) {
  outbox_.Ready({spoolFile, recordType, Bytes(payload.begin(), payload.end())}, now);
  std::lock_guard lock(queueMutex_);
  woken_ = true;
  wake_.notify_one();
  return true;
}

std::optional<std::uint64_t> cl::Push(std::int32_t recordType, std::span<const std::uint8_t> payload,
                                      const std::string* spoolFile, Protocol8Outbox::AnswerSettled settled) {
  // Built outside the lock; only the number is written under it.
  Bytes record = BuildRecord(recordType, 0, payload);
  std::lock_guard lock(queueMutex_);
  const std::optional<std::uint64_t> sequence = PushLocked(std::move(record));
  if (!sequence) return std::nullopt;
  if (spoolFile) outbox_.Queue(*sequence, *spoolFile, SpoolOrigin::Live, recordType);
  if (settled) outbox_.QueueAwaited(*sequence, recordType, std::move(settled));
  woken_ = true;
  wake_.notify_one();
  return sequence;
}

std::optional<std::uint64_t> cl::PushLocked(Bytes record) {
  const std::uint64_t sequence = sequenceCounter_++;
  PutLE<std::uint64_t>(record, kRecordSequenceOffset, sequence);
  if (!queue_.Push(std::move(record))) return std::nullopt;
  return sequence;
}

void cl::FeedReplayed() {
  if (!queue_.Empty()) return;
  std::optional<Protocol8Outbox::ReadyRecord> ready = outbox_.TakeReady();
  if (!ready) return;
  const std::optional<std::uint64_t> sequence = PushLocked(BuildRecord(ready->recordType, 0, ready->payload));
  if (sequence) outbox_.Queue(*sequence, ready->file, SpoolOrigin::Replayed, ready->recordType);
}

void cl::ReleaseSpooled() {
  std::lock_guard lock(queueMutex_);
  std::vector<Bytes> kept;
  Bytes record;
  while (queue_.Peek(record)) {
    queue_.DropHead();
    const auto header = ParseRecordHeader(record);
    const std::optional<Protocol8Outbox::Entry> entry = header ? outbox_.Of(header->sequence) : std::nullopt;
    if (!entry || entry->file.empty()) kept.push_back(std::move(record));
  }
  for (Bytes& r : kept) queue_.Push(std::move(r));
  outbox_.LinkDown();
}

void cl::Join() {
  if (thread_.joinable()) thread_.join();
}

bool cl::Peek(Bytes& record) {
  std::lock_guard lock(queueMutex_);
  FeedReplayed();
  return queue_.Peek(record);
}

bool cl::Peek(QueuedRecord& head) {
  std::lock_guard lock(queueMutex_);
  FeedReplayed();
  if (!queue_.Peek(head.bytes)) return false;
  const auto header = ParseRecordHeader(head.bytes);
  head.sequence = header ? header->sequence : 0;
  const std::optional<Protocol8Outbox::Entry> file = header ? outbox_.Of(header->sequence) : std::nullopt;
  head.spoolFile = file ? file->file : std::string();
  return true;
}

void cl::DropHead() {
  std::optional<std::uint64_t> sequence;
  {
    std::lock_guard lock(queueMutex_);
    Bytes head;
    if (queue_.Peek(head)) {
      if (const auto header = ParseRecordHeader(head)) sequence = header->sequence;
    }
    queue_.DropHead();
  }
  // Settled before, unless its exchange never came or was not answered. Out
  // of the queue's lock: a caller may hear of it.
  if (sequence) outbox_.Dropped(*sequence);
}

cl::~cl() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

void cl::Start(LinkEnvironment environment) {
  if (session_) throw std::logic_error("the protocol-8 link thread runs already");
  if (!environment.handOver) throw std::invalid_argument("the protocol-8 link needs its hand-over");
  if (!environment.clock) environment.clock = &SystemClock();
  rest_ = environment.rest;
  if (!environment.connections) environment.connections = &PlatformLinkConnectionFactory();
  // The configuration directory is the current directory at thread start.
  if (environment.configFile.empty()) environment.configFile = std::filesystem::current_path() / "vorel.ini";
  if (!environment.versionText) environment.versionText = OwnFileVersionText;
  session_ = std::make_unique<LinkSession>(*this, std::move(environment));
  thread_ = std::thread([this] { Execute(); });
}

void cl::RequestStop() {
  linkEnabled_ = false;
  stopRequested_ = true;
  std::lock_guard lock(queueMutex_);
  woken_ = true;
  wake_.notify_one();
}

void cl::Execute() {
  // A stop requested before the loop starts ends the thread without a pass.
  while (!stopRequested_) {
    try {
      session_->RunPass();
    } catch (const std::exception&) {
      // Nothing of a pass may end the thread; the next pass starts afresh.
    }
    Rest(session_->QuietMs());
  }
  session_->Finish();
}

void cl::Rest(std::uint32_t quietMs) {
  if (rest_) {
    rest_(quietMs);
    return;
  }
  std::unique_lock lock(queueMutex_);
  if (quietMs == 0) {
    woken_ = false;
    return;
  }
  wake_.wait_for(lock, std::chrono::milliseconds(quietMs), [this] { return woken_ || stopRequested_.load(); });
  woken_ = false;
}

std::size_t cl::QueuedCount() const {
  std::lock_guard lock(queueMutex_);
  return queue_.Size() + outbox_.ReadyCount();
}

}  // namespace vorel
