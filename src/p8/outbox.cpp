#include "p8/outbox.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "p8/record_types.h"

namespace vorel {
namespace {
// "00:00:03" as a date-time.
constexpr TDateTime kReplayPacing = 3.0 / 86400.0;
}  // namespace

Protocol8Outbox::Outcome Protocol8Outbox::Transition(State state, Event event) {
  if (state == State::Ready) {
    if (event == Event::Numbered) return {State::Queued, FileAction::Keep};
    if (event == Event::Released) return {std::nullopt, FileAction::Keep};
    return {state, FileAction::Keep};
  }
  switch (event) {
    case Event::Numbered:
      return {state, FileAction::Keep};
    case Event::Written:
      return {State::InFlight, FileAction::Keep};
    case Event::Delivered:
      if (state == State::InFlight) return {std::nullopt, FileAction::Remove};
      return {state, FileAction::Keep};
    case Event::NotDelivered:
    case Event::Unanswered:
      if (state == State::InFlight) return {std::nullopt, FileAction::Keep};
      return {state, FileAction::Keep};
    case Event::Released:
      return {std::nullopt, FileAction::Keep};
  }
  return {state, FileAction::Keep};
}

bool Protocol8Outbox::AnswerDelivers(SpoolOrigin origin, std::int32_t recordType, std::int32_t answerType) {
  // A server that denies us, closes or sheds load may not have kept what it
  // read: those answers deliver nothing, whatever the record.
  if (answerType == rtAccessDenied || answerType == rtClose || answerType == rtDisconnect) return false;
  if (origin == SpoolOrigin::Live) return true;
  return answerType == (recordType == rtEventSecond ? rtEventSecondAck : rtEventMainAck);
}

void Protocol8Outbox::Ready(ReadyRecord record, TDateTime now) {
  std::lock_guard lock(mutex_);
  (record.recordType == rtEventSecond ? pendingSpoolFileSecond_ : pendingSpoolFileMain_) = record.file;
  lastReplayTime_ = now;
  ready_.push_back(std::move(record));
}

std::optional<Protocol8Outbox::ReadyRecord> Protocol8Outbox::TakeReady() {
  std::lock_guard lock(mutex_);
  if (ready_.empty()) return std::nullopt;
  ReadyRecord record = std::move(ready_.front());
  ready_.pop_front();
  return record;
}

std::size_t Protocol8Outbox::ReadyCount() const {
  std::lock_guard lock(mutex_);
  return ready_.size();
}

void Protocol8Outbox::Queue(std::uint64_t sequence, const std::string& file, SpoolOrigin origin,
                            std::int32_t recordType) {
  std::lock_guard lock(mutex_);
  const State state = origin == SpoolOrigin::Replayed ? *Transition(State::Ready, Event::Numbered).next
                                                       : State::Queued;
  entries_[sequence] = Entry{file, origin, recordType, state};
}

std::optional<Protocol8Outbox::Entry> Protocol8Outbox::Of(std::uint64_t sequence) const {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(sequence);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

void Protocol8Outbox::Apply(std::map<std::uint64_t, Entry>::iterator entry, Event event, TDateTime now) {
  const Outcome outcome = Transition(entry->second.state, event);
  if (outcome.file == FileAction::Remove) {
    // Gone from our disk only now that the server has it. A file that cannot
    // be removed goes again with the replay: a repeat.
    std::error_code ignored;
    if (std::filesystem::remove(entry->second.file, ignored)) removed_.push_back(entry->second.file);
    if (entry->second.origin == SpoolOrigin::Replayed) lastReplayTime_ = now - kOneDay;
  }
  if (outcome.next)
    entry->second.state = *outcome.next;
  else
    entries_.erase(entry);
}

void Protocol8Outbox::Written(std::uint64_t sequence) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(sequence);
  if (it != entries_.end()) Apply(it, Event::Written, 0);
}

void Protocol8Outbox::Settle(std::uint64_t sequence, std::optional<std::int32_t> answerType, TDateTime now) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(sequence);
  if (it == entries_.end()) return;
  const Event event = !answerType ? Event::Unanswered
                      : AnswerDelivers(it->second.origin, it->second.recordType, *answerType)
                          ? Event::Delivered
                          : Event::NotDelivered;
  Apply(it, event, now);
}

void Protocol8Outbox::Release() {
  std::lock_guard lock(mutex_);
  ready_.clear();  // Ready -- Released --> on disk
  while (!entries_.empty()) Apply(entries_.begin(), Event::Released, 0);
}

void Protocol8Outbox::Release(std::uint64_t sequence) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(sequence);
  if (it != entries_.end()) Apply(it, Event::Released, 0);
}

void Protocol8Outbox::ConnectionMade(TDateTime now) {
  std::lock_guard lock(mutex_);
  lastReplayTime_ = now - kOneDay;
}

bool Protocol8Outbox::ReplayDue(TDateTime now) const {
  std::lock_guard lock(mutex_);
  return now > lastReplayTime_ + kReplayPacing;
}

std::size_t Protocol8Outbox::ReplayedOnTheirWay() const {
  std::lock_guard lock(mutex_);
  std::size_t count = ready_.size();
  for (const auto& [sequence, entry] : entries_)
    if (entry.origin == SpoolOrigin::Replayed) ++count;
  return count;
}

std::set<std::string> Protocol8Outbox::FilesOnTheirWay() const {
  std::lock_guard lock(mutex_);
  std::set<std::string> files;
  for (const ReadyRecord& record : ready_) files.insert(record.file);
  for (const auto& [sequence, entry] : entries_) files.insert(entry.file);
  return files;
}

bool Protocol8Outbox::OnItsWay(const std::string& file) const { return FilesOnTheirWay().contains(file); }

std::vector<std::string> Protocol8Outbox::TakeRemoved() {
  std::lock_guard lock(mutex_);
  return std::exchange(removed_, {});
}

std::string Protocol8Outbox::PendingSpoolFileMain() const {
  std::lock_guard lock(mutex_);
  return pendingSpoolFileMain_;
}

std::string Protocol8Outbox::PendingSpoolFileSecond() const {
  std::lock_guard lock(mutex_);
  return pendingSpoolFileSecond_;
}

TDateTime Protocol8Outbox::LastReplayTime() const {
  std::lock_guard lock(mutex_);
  return lastReplayTime_;
}

}  // namespace vorel
