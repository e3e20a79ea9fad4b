#include "p8/outbox.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "p8/record_types.h"

namespace vorel {
namespace {
// "00:00:03" as a date-time.
constexpr TDateTime kReplayPacing = 3.0 / 86400.0;

bool RemoveFromDisk(const std::string& file) {
  std::error_code ignored;
  return std::filesystem::remove(file, ignored);
}
}  // namespace

Protocol8Outbox::Outcome Protocol8Outbox::Transition(State state, Event event) {
  using S = State;
  using E = Event;
  const Outcome stay{state, Effect::None};
  const Outcome gone{std::nullopt, Effect::None};
  switch (state) {
    case S::Ready:
      if (event == E::Numbered) return {S::Queued, Effect::None};
      if (event == E::LinkDown) return gone;
      return stay;
    case S::Queued:
      if (event == E::Written) return {S::InFlight, Effect::None};
      if (event == E::LinkDown || event == E::Dropped) return gone;
      return stay;
    case S::InFlight:
      if (event == E::Delivered) return {S::Removing, Effect::RemoveFile};
      if (event == E::NotDelivered || event == E::Unanswered || event == E::LinkDown || event == E::Dropped)
        return gone;
      return stay;
    case S::Removing:
      if (event == E::Removed) return {std::nullopt, Effect::FileGone};
      if (event == E::NotRemoved) return gone;
      return stay;
    case S::Awaited:
      if (event == E::Written) return {S::AwaitedInFlight, Effect::None};
      if (event == E::BoundPassed) return {S::Overdue, Effect::TellNotAnswered};
      if (event == E::Dropped) return {std::nullopt, Effect::TellNotAnswered};
      return stay;
    case S::AwaitedInFlight:
      if (event == E::Delivered) return {std::nullopt, Effect::TellAnswered};
      // Not settled yet: the record stays queued and may go again.
      if (event == E::NotDelivered || event == E::Unanswered || event == E::LinkDown)
        return {S::Awaited, Effect::None};
      if (event == E::BoundPassed) return {S::OverdueInFlight, Effect::TellNotAnswered};
      if (event == E::Dropped) return {std::nullopt, Effect::TellNotAnswered};
      return stay;
    case S::Overdue:
      if (event == E::Written) return {S::OverdueInFlight, Effect::None};
      if (event == E::Dropped) return gone;
      return stay;
    case S::OverdueInFlight:
      if (event == E::Delivered) return {std::nullopt, Effect::CountAnswered};
      if (event == E::NotDelivered || event == E::Unanswered || event == E::LinkDown)
        return {S::Overdue, Effect::None};
      if (event == E::Dropped) return gone;
      return stay;
  }
  return stay;
}

bool Protocol8Outbox::AnswerDelivers(SpoolOrigin origin, std::int32_t recordType, std::int32_t answerType) {
  // A server that denies us, closes or sheds load may not have kept what it
  // read: those answers deliver nothing, whatever the record.
  if (answerType == rtAccessDenied || answerType == rtClose || answerType == rtDisconnect) return false;
  if (origin == SpoolOrigin::Live) return true;
  return answerType == (recordType == rtEventSecond ? rtEventSecondAck : rtEventMainAck);
}

Protocol8Outbox::Protocol8Outbox(FileRemover removeFile)
    : removeFile_(removeFile ? std::move(removeFile) : FileRemover(RemoveFromDisk)) {}

void Protocol8Outbox::AnswerOn(GuiPoster post, IScheduler& scheduler) {
  std::lock_guard lock(book_->mutex);
  book_->post = std::move(post);
  book_->scheduler = &scheduler;
}

Protocol8Outbox::Deferred Protocol8Outbox::Apply(Book& book, std::uint64_t sequence, Event event, TDateTime now) {
  const auto it = book.entries.find(sequence);
  if (it == book.entries.end()) return {};
  Message& message = it->second;
  const Outcome outcome = Transition(message.entry.state, event);
  Deferred deferred{outcome.effect, sequence, message.entry.file, {}, {}};
  switch (outcome.effect) {
    case Effect::None:
      break;
    case Effect::RemoveFile:
      if (message.entry.origin == SpoolOrigin::Replayed) book.lastReplayTime = now - kOneDay;
      break;
    case Effect::FileGone:
      book.removed.push_back(message.entry.file);
      break;
    case Effect::TellAnswered:
    case Effect::CountAnswered:
      ++book.answeredWithoutFile;
      [[fallthrough]];
    case Effect::TellNotAnswered:
      deferred.settled = std::exchange(message.settled, {});
      deferred.post = book.post;
      break;
  }
  if (outcome.next)
    message.entry.state = *outcome.next;
  else
    book.entries.erase(it);
  return deferred;
}

void Protocol8Outbox::Tell(Deferred& deferred, bool answered) {
  if (!deferred.settled) return;
  if (deferred.post)
    deferred.post([settled = std::move(deferred.settled), answered] { settled(answered); });
  else
    deferred.settled(answered);
}

void Protocol8Outbox::Carry(Deferred deferred, TDateTime now) {
  switch (deferred.effect) {
    case Effect::RemoveFile:
      // Gone from our disk only now that the server has it. A file that
      // cannot be removed goes again with the replay: a repeat.
      Step(deferred.sequence, removeFile_(deferred.file) ? Event::Removed : Event::NotRemoved, now);
      break;
    case Effect::TellAnswered:
      Tell(deferred, true);
      break;
    case Effect::TellNotAnswered:
      Tell(deferred, false);
      break;
    case Effect::None:
    case Effect::FileGone:
    case Effect::CountAnswered:
      break;
  }
}

void Protocol8Outbox::Step(std::uint64_t sequence, Event event, TDateTime now) {
  Deferred deferred;
  {
    std::lock_guard lock(book_->mutex);
    deferred = Apply(*book_, sequence, event, now);
  }
  Carry(std::move(deferred), now);
}

void Protocol8Outbox::Ready(ReadyRecord record, TDateTime now) {
  std::lock_guard lock(book_->mutex);
  book_->lastReplayTime = now;
  book_->ready.push_back(std::move(record));
}

std::optional<Protocol8Outbox::ReadyRecord> Protocol8Outbox::TakeReady() {
  std::lock_guard lock(book_->mutex);
  if (book_->ready.empty()) return std::nullopt;
  ReadyRecord record = std::move(book_->ready.front());
  book_->ready.pop_front();
  return record;
}

std::size_t Protocol8Outbox::ReadyCount() const {
  std::lock_guard lock(book_->mutex);
  return book_->ready.size();
}

void Protocol8Outbox::Queue(std::uint64_t sequence, const std::string& file, SpoolOrigin origin,
                            std::int32_t recordType) {
  std::lock_guard lock(book_->mutex);
  const State state = origin == SpoolOrigin::Replayed ? *Transition(State::Ready, Event::Numbered).next
                                                       : State::Queued;
  book_->entries[sequence] = Message{Entry{file, origin, recordType, state}, {}};
}

void Protocol8Outbox::QueueAwaited(std::uint64_t sequence, std::int32_t recordType, AnswerSettled settled) {
  std::lock_guard lock(book_->mutex);
  book_->entries[sequence] = Message{Entry{{}, SpoolOrigin::Live, recordType, State::Awaited}, std::move(settled)};
}

void Protocol8Outbox::StartBound(std::uint64_t sequence) {
  IScheduler* scheduler = nullptr;
  {
    std::lock_guard lock(book_->mutex);
    scheduler = book_->scheduler;
  }
  if (!scheduler) return;
  // The timer holds the book, not the outbox: a caller still waiting when
  // the link object goes hears "not in time" all the same.
  scheduler->After(kAnswerBoundMs, [book = book_, sequence] {
    Deferred deferred;
    {
      std::lock_guard lock(book->mutex);
      deferred = Apply(*book, sequence, Event::BoundPassed, 0);
    }
    deferred.post = {};  // on the GUI thread already
    Tell(deferred, false);
  });
}

std::optional<Protocol8Outbox::Entry> Protocol8Outbox::Of(std::uint64_t sequence) const {
  std::lock_guard lock(book_->mutex);
  const auto it = book_->entries.find(sequence);
  if (it == book_->entries.end()) return std::nullopt;
  return it->second.entry;
}

void Protocol8Outbox::Written(std::uint64_t sequence) { Step(sequence, Event::Written, 0); }

void Protocol8Outbox::Settle(std::uint64_t sequence, std::optional<std::int32_t> answerType, TDateTime now) {
  Event event = Event::Unanswered;
  if (answerType) {
    const std::optional<Entry> entry = Of(sequence);
    if (!entry) return;
    event = AnswerDelivers(entry->origin, entry->recordType, *answerType) ? Event::Delivered : Event::NotDelivered;
  }
  Step(sequence, event, now);
}

void Protocol8Outbox::LinkDown() {
  std::vector<Deferred> effects;
  {
    std::lock_guard lock(book_->mutex);
    book_->ready.clear();  // Ready -- LinkDown --> on disk
    std::vector<std::uint64_t> sequences;
    for (const auto& [sequence, message] : book_->entries) sequences.push_back(sequence);
    for (const std::uint64_t sequence : sequences) effects.push_back(Apply(*book_, sequence, Event::LinkDown, 0));
  }
  for (Deferred& deferred : effects) Carry(std::move(deferred), 0);
}

void Protocol8Outbox::Dropped(std::uint64_t sequence) { Step(sequence, Event::Dropped, 0); }

void Protocol8Outbox::ConnectionMade(TDateTime now) {
  std::lock_guard lock(book_->mutex);
  book_->lastReplayTime = now - kOneDay;
}

bool Protocol8Outbox::ReplayDue(TDateTime now) const {
  std::lock_guard lock(book_->mutex);
  return now > book_->lastReplayTime + kReplayPacing;
}

std::size_t Protocol8Outbox::ReplayedOnTheirWay() const {
  std::lock_guard lock(book_->mutex);
  std::size_t count = book_->ready.size();
  for (const auto& [sequence, message] : book_->entries)
    if (message.entry.origin == SpoolOrigin::Replayed) ++count;
  return count;
}

std::set<std::string> Protocol8Outbox::FilesOnTheirWay() const {
  std::lock_guard lock(book_->mutex);
  std::set<std::string> files;
  for (const ReadyRecord& record : book_->ready) files.insert(record.file);
  for (const auto& [sequence, message] : book_->entries)
    if (!message.entry.file.empty()) files.insert(message.entry.file);
  return files;
}

std::vector<std::string> Protocol8Outbox::TakeRemoved() {
  std::lock_guard lock(book_->mutex);
  return std::exchange(book_->removed, {});
}

std::uint64_t Protocol8Outbox::TakeAnsweredWithoutFile() {
  std::lock_guard lock(book_->mutex);
  return std::exchange(book_->answeredWithoutFile, 0);
}

}  // namespace vorel
