#include "receiver/event_outputs.h"

#include <array>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/bytes.h"
#include "p8/record_types.h"
#include "spool/spool_file.h"

namespace vorel {
namespace {

constexpr int kNoSpoolNameErrorCode = 11;
constexpr std::size_t kRecordTypeSize = 4;

const char* LinkFrameName(p7::FrameType type) {
  return type == p7::ftStationLost ? "протокол 7, потеря связи со станцией"
                                    : "протокол 7, связь со станцией восстановлена";
}

}  // namespace

std::string SpoolName(TDateTime now) {
  const std::optional<DateTimeFields> f = DecodeDateTime(now);
  if (!f) throw std::invalid_argument("no spool name: the date-time is not a date");
  // Day 31 at 23:59:59.999 is 0xA4CB7FFF: the value always fits 32 bits.
  const std::uint32_t seconds = static_cast<std::uint32_t>(f->day) * 86400u +
                                static_cast<std::uint32_t>(f->hour) * 3600u +
                                static_cast<std::uint32_t>(f->minute) * 60u + static_cast<std::uint32_t>(f->second);
  const std::uint32_t value = seconds * 1000u + static_cast<std::uint32_t>(f->millisecond);
  std::array<char, 9> hex{};
  std::snprintf(hex.data(), hex.size(), "%X", static_cast<unsigned>(value));
  return hex.data();
}

OutputSettings OutputSettings::From(const Settings& s) {
  OutputSettings out;
  out.NotSendToDiskMivo8 = s.NotSendToDiskMivo8;
  out.n_abs = s.n_abs;
  out.PathForSoob = s.PathForSoob;
  return out;
}

EventOutputs::EventOutputs(OutputSettings settings, IClock& clock, Protocol7Outbox& protocol7,
                           IProtocol8Queue* protocol8, Callbacks callbacks, ISpoolWriter* spool)
    : settings_(std::move(settings)),
      clock_(clock),
      protocol7_(protocol7),
      protocol8_(protocol8),
      callbacks_(std::move(callbacks)),
      spool_(spool ? *spool : inlineSpool_) {}

EventOutputs::~EventOutputs() { *alive_ = false; }

void EventOutputs::BeginPacket() { inPacket_ = true; }

void EventOutputs::EndPacket() {
  inPacket_ = false;
  HandOver();
}

Delivery EventOutputs::SendEvent(const EventRecord& record, AnswerSettled settled) {
  return Offer7(p7::BuildEventFrame(record), true, "протокол 7, ftEvent", std::move(settled));
}

Delivery EventOutputs::SendLinkFrame(p7::FrameType type, std::int32_t portTag) {
  if (type != p7::ftStationLost && type != p7::ftStationRestored)
    throw std::invalid_argument("link frame output: type " + std::to_string(static_cast<int>(type)) +
                                " is not a station link frame");
  const p7::Frame frame =
      type == p7::ftStationLost ? p7::BuildStationLostFrame(portTag) : p7::BuildStationRestoredFrame(portTag);
  return Offer7(frame, false, LinkFrameName(type), {});
}

Delivery EventOutputs::SendEvent8(PortId port, std::span<const std::uint8_t> payload, AnswerSettled settled) {
  return Offer8(port, payload, std::move(settled));
}

Delivery EventOutputs::Offer7(const p7::Frame& frame, bool refreshIndicator, std::string_view what,
                               AnswerSettled settled) {
  // Written ahead: a frame in our own kernel is not at the server yet, and
  // the file holds it until the server's TCP has acknowledged it.
  std::optional<std::string> failure;
  std::optional<SpoolWrite> write =
      SpoolWriteOf(std::string("_").append(std::to_string(settings_.n_abs)), kProtocol7SpoolExtension, frame, what,
                   failure);
  return Hand(std::move(write), std::string(what), std::move(failure),
              [this, frame, refreshIndicator](const std::optional<std::string>& file, AnswerSettled s) {
                return After7(frame, refreshIndicator, file, std::move(s));
              },
              std::move(settled));
}

Delivery EventOutputs::Hand(std::optional<SpoolWrite> write, std::string what, std::optional<std::string> failure,
                            AfterFile after, AnswerSettled settled) {
  auto offer = std::make_shared<Offer>();
  if (write) {
    offer->write = writes_.size();
    writes_.push_back(std::move(*write));
  }
  offer->what = std::move(what);
  offer->failure = std::move(failure);
  offer->after = std::move(after);
  offer->settled = std::move(settled);
  offers_.push_back(offer);
  if (!inPacket_) HandOver();
  // Written at once (no spool thread, outside a packet): decided already.
  if (offer->delivery) return *offer->delivery;
  offer->returned = true;
  return offer->settled ? Delivery::Awaiting : Delivery::Queued;
}

void EventOutputs::HandOver() {
  if (offers_.empty()) return;
  Offers offers;
  offers.swap(offers_);
  std::vector<SpoolWrite> writes;
  writes.swap(writes_);
  // Also an offer without a file goes through the spool, so that every
  // offer reaches its link in the order it came.
  spool_.Write(std::move(writes), [this, alive = std::weak_ptr<bool>(alive_), offers = std::move(offers)](
                                      std::vector<SpoolWritten> written) {
    const std::shared_ptr<bool> there = alive.lock();
    if (there && *there) Written(offers, written);
  });
}

void EventOutputs::Written(const Offers& offers, const std::vector<SpoolWritten>& written) {
  // Every offer is decided, whatever one of them raises: an offer left
  // undecided would hold the ACKs of all the frames after it.
  std::exception_ptr firstError;
  for (const std::shared_ptr<Offer>& offer : offers) {
    std::optional<std::string> file;
    if (offer->write) {
      const SpoolWritten& w = written.at(*offer->write);
      file = w.file;
      if (!file) offer->failure = offer->what + " lost: " + w.error;
    }
    Delivery delivery = file ? Delivery::Spooled : Delivery::Lost;
    try {
      if (file && callbacks_.spoolWritten) callbacks_.spoolWritten(*file);
      // The link may keep a copy of `settled` for an answer still to come
      // (Awaiting); otherwise the caller hears below.
      delivery = offer->after(file, offer->settled);
    } catch (...) {
      if (!firstError) firstError = std::current_exception();
    }
    delivery = Decided(delivery, offer->failure);
    if (!offer->returned) {
      offer->delivery = delivery;
    } else if (delivery != Delivery::Awaiting && offer->settled) {
      try {
        offer->settled(SafeFromCrash(delivery));
      } catch (...) {
        if (!firstError) firstError = std::current_exception();
      }
    }
  }
  if (firstError) std::rethrow_exception(firstError);
}

Delivery EventOutputs::Decided(Delivery delivery, const std::optional<std::string>& failure) {
  // A spool file that could not be written is a loss only when nothing else
  // took the event either: taken by its link, it is no loss, but the disk
  // that failed is still worth a line.
  if (delivery == Delivery::Lost) {
    ReportLoss(failure.value_or("событие не принято"));
  } else if (failure && callbacks_.spoolNotWritten) {
    try {
      callbacks_.spoolNotWritten(*failure);
    } catch (...) {
      // The report is the last resort; the caller goes on regardless.
    }
  }
  return delivery;
}

Delivery EventOutputs::Offer8(PortId port, std::span<const std::uint8_t> payload, AnswerSettled settled) {
  const bool main = port == PortId::Main;
  const std::size_t expected = main ? kMainEventPayloadSize : kSecondEventPayloadSize;
  if (payload.size() != expected)
    throw std::invalid_argument("protocol-8 event payload of " + std::to_string(payload.size()) +
                                " bytes, expected " + std::to_string(expected));
  const std::int32_t recordType = main ? rtEventMain : rtEventSecond;
  const char* what = main ? "протокол 8, rtEventMain" : "протокол 8, rtEventSecond";

  // Every event gets its .dd8 file, whether the link is up or not, unless
  // the operator keeps none on disk (NotSendToDiskMivo8).
  std::optional<std::string> failure;
  std::optional<SpoolWrite> write;
  if (!settings_.NotSendToDiskMivo8) {
    Bytes file(kRecordTypeSize + payload.size());
    PutLE<std::int32_t>(file, 0, recordType);
    std::copy(payload.begin(), payload.end(), file.begin() + kRecordTypeSize);
    write = SpoolWriteOf("", kProtocol8SpoolExtension, file, what, failure);
  }
  return Hand(std::move(write), what, std::move(failure),
              [this, recordType, bytes = std::vector<std::uint8_t>(payload.begin(), payload.end())](
                  const std::optional<std::string>& file, AnswerSettled s) {
                return After8(recordType, bytes, file, std::move(s));
              },
              std::move(settled));
}

Delivery EventOutputs::After8(std::int32_t recordType, const std::vector<std::uint8_t>& payload,
                              const std::optional<std::string>& file, AnswerSettled settled) {
  if (!protocol8_ || !protocol8_->LinkUp()) {
    if (settings_.NotSendToDiskMivo8) return Drop(recordType);
    return file ? Delivery::Spooled : Delivery::Lost;
  }
  if (settings_.NotSendToDiskMivo8)
    return protocol8_->Enqueue(recordType, payload) ? Delivery::SafeOnItsWay : Drop(recordType);
  if (!file) {
    // No file (disk full, no spool directory) but a link: the event is safe
    // once the server has answered it. Refusing the station instead would
    // hold it on this alarm for as long as the disk fails.
    if (!settled) return protocol8_->Enqueue(recordType, payload) ? Delivery::Queued : Delivery::Lost;
    return protocol8_->EnqueueAwaited(recordType, payload, std::move(settled)) ? Delivery::Awaiting : Delivery::Lost;
  }
  // A full queue refuses the record; its file waits for the replay then.
  return protocol8_->EnqueueSpooled(recordType, payload, *file) ? Delivery::SafeOnItsWay : Delivery::Spooled;
}

Delivery EventOutputs::After7(const p7::Frame& frame, bool refreshIndicator, const std::optional<std::string>& file,
                               AnswerSettled settled) {
  if (!protocol7_.Connected()) return file ? Delivery::Spooled : Delivery::Lost;
  bool sent = false;
  Delivery delivery = Delivery::Lost;
  if (file) {
    sent = protocol7_.Send(*file, frame);
    delivery = sent ? Delivery::SafeOnItsWay : Delivery::Spooled;
  } else {
    // No file (disk full): safe only once the server's TCP has the frame. A
    // caller that waits hears it later, without waiting meanwhile.
    const bool awaited = static_cast<bool>(settled);
    const Protocol7Outbox::Unfiled result =
        awaited ? protocol7_.SendUnfiledAwaited(frame, std::move(settled)) : protocol7_.SendUnfiled(frame);
    sent = result != Protocol7Outbox::Unfiled::NotSent;
    delivery = result == Protocol7Outbox::Unfiled::Acknowledged ? Delivery::SafeOnItsWay
               : !sent                                         ? Delivery::Lost
               : awaited && protocol7_.Awaits()                ? Delivery::Awaiting
                                                               : Delivery::Queued;
  }
  if (sent && refreshIndicator && callbacks_.refreshProtocol7Indicator) {
    try {
      callbacks_.refreshProtocol7Indicator();
    } catch (...) {
      // The frame is out; a failed redraw changes nothing about it.
    }
  }
  return delivery;
}

std::optional<SpoolWrite> EventOutputs::SpoolWriteOf(std::string_view stemSuffix, std::string_view extension,
                                                     std::span<const std::uint8_t> bytes, std::string_view what,
                                                     std::optional<std::string>& failure) {
  try {
    return SpoolWrite{settings_.PathForSoob, SpoolName(clock_.Now()) + std::string(stemSuffix),
                      std::string(extension), std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
  } catch (const std::exception& e) {
    if (callbacks_.logError) {
      try {
        callbacks_.logError(kNoSpoolNameErrorCode);
      } catch (...) {
        // An error log that cannot be written must not stop the caller.
      }
    }
    failure = std::string(what) + " lost: " + e.what();
    return std::nullopt;
  }
}

Delivery EventOutputs::Drop(std::int32_t recordType) {
  if (callbacks_.dropped) {
    try {
      callbacks_.dropped(recordType == rtEventSecond ? "протокол 8, rtEventSecond" : "протокол 8, rtEventMain");
    } catch (...) {
      // Dropped all the same; the report must not stop the caller.
    }
  }
  return Delivery::Dropped;
}

void EventOutputs::ReportLoss(const std::string& what) {
  if (!callbacks_.spoolFailed) return;
  try {
    callbacks_.spoolFailed(what);
  } catch (...) {
    // The report is the last resort; the caller goes on regardless.
  }
}

}  // namespace vorel
