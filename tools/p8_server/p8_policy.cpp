#include "p8_policy.h"

#include <charconv>

#include "p8/record.h"
#include "p8/record_types.h"
#include "p8_record_text.h"

namespace vorel::p8server {
namespace {

struct Named {
  const char* name;
  PolicyKind kind;
  int defaultCount;  // 0: takes no count
};

constexpr Named kPolicies[] = {
    {"accept", PolicyKind::Accept, 0},   {"ping", PolicyKind::Ping, 3},     {"disconnect", PolicyKind::Disconnect, 0},
    {"close", PolicyKind::Close, 0},     {"deny", PolicyKind::Deny, 0},     {"silent", PolicyKind::Silent, 0},
    {"garbage", PolicyKind::Garbage, 0}, {"drop", PolicyKind::Drop, 5},     {"blackhole", PolicyKind::Blackhole, 0},
    {"late", PolicyKind::Late, 1200},    {"trickle", PolicyKind::Trickle, 900}, {"forget", PolicyKind::Forget, 0},
    {"twice", PolicyKind::Twice, 0},     {"shed", PolicyKind::Shed, 0},
};

bool IsEvent(std::optional<std::int32_t> type) { return type == rtEventMain || type == rtEventSecond; }

Reply Forgotten(Reply reply) {
  reply.keeps = false;
  return reply;
}

Reply Send(Bytes bytes, std::string text) { return Reply{Reply::What::Send, std::move(bytes), std::move(text)}; }

Reply Answer(std::int32_t type, std::uint64_t sequence) {
  return Send(AnswerFrame(type, sequence), "type=" + RecordTypeLabel(type));
}

Reply Garbage(std::uint64_t requestNumber, std::uint64_t sequence, std::mt19937& random) {
  switch ((requestNumber - 1) % 6) {
    case 0: {
      Bytes bytes(39);
      for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
      bytes[0] = static_cast<std::uint8_t>(random() % 0xF0);  // never a marker the driver accepts
      return Send(bytes, "garbage=random");
    }
    case 1: {
      Bytes bytes = AnswerFrame(rtPoll, sequence);
      bytes[0] = kEnvelopeMarkerAlternative;
      return Send(bytes, "garbage=envelope-f0");
    }
    case 2: {
      Bytes bytes = AnswerFrame(rtPoll, sequence);
      bytes[kEnvelopeHeaderSize + kRecordHeaderSize - 1] = 0x00;
      return Send(bytes, "garbage=no-end-marker");
    }
    case 3:
      return Send(BuildEnvelopeHeader(0x7FFFFFFF), "garbage=huge-length");
    case 4:
      return Send(BuildEnvelopeHeader(-1), "garbage=negative-length");
    default:
      return Send(BuildEnvelopeHeader(0), "garbage=empty-body");
  }
}

}  // namespace

std::optional<Policy> ParsePolicy(std::string_view text) {
  const auto colon = text.find(':');
  const std::string_view name = text.substr(0, colon);
  for (const auto& p : kPolicies) {
    if (name != p.name) continue;
    Policy policy{p.kind, p.defaultCount};
    if (colon == std::string_view::npos) return policy;
    if (p.defaultCount == 0) return std::nullopt;
    const std::string_view number = text.substr(colon + 1);
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), policy.count);
    if (number.empty() || error != std::errc() || end != number.data() + number.size() || policy.count < 1)
      return std::nullopt;
    return policy;
  }
  return std::nullopt;
}

std::string PolicyName(const Policy& policy) {
  for (const auto& p : kPolicies)
    if (p.kind == policy.kind)
      return p.defaultCount == 0 ? std::string(p.name) : std::string(p.name) + ":" + std::to_string(policy.count);
  return "?";
}

std::int32_t AcceptAnswerType(std::int32_t requestType) {
  switch (requestType) {
    case rtHello: return rtAccept;
    case rtEventMain: return rtEventMainAck;
    case rtEventSecond: return rtEventSecondAck;
    default: return rtPoll;
  }
}

Bytes AnswerFrame(std::int32_t recordType, std::uint64_t sequence) {
  return BuildFrame(BuildRecord(recordType, sequence, {}));
}

Reply ReplyFor(const Policy& policy, std::optional<std::int32_t> requestType, std::uint64_t sequence,
               std::uint64_t requestNumber, std::mt19937& random) {
  const std::int32_t normal = AcceptAnswerType(requestType.value_or(rtPoll));
  switch (policy.kind) {
    case PolicyKind::Accept:
    case PolicyKind::Late:     // the server sends it later
    case PolicyKind::Trickle:  // the server sends it byte by byte
      return Answer(normal, sequence);
    case PolicyKind::Ping:
      if (normal == rtPoll && requestNumber % static_cast<std::uint64_t>(policy.count) == 0)
        return Answer(rtPing, sequence);
      return Answer(normal, sequence);
    case PolicyKind::Disconnect:
      return Answer(rtDisconnect, sequence);
    case PolicyKind::Close:
      return Answer(rtClose, sequence);
    case PolicyKind::Deny:
      return Answer(rtAccessDenied, sequence);
    case PolicyKind::Forget:
      return Forgotten(Reply{Reply::What::Nothing, {}, "none"});
    case PolicyKind::Twice: {
      if (!IsEvent(requestType)) return Answer(normal, sequence);
      if (policy.stage > 0) {
        Reply lost = Forgotten(Reply{Reply::What::Nothing, {}, "none"});
        lost.spent = true;
        return lost;
      }
      Reply twice = Answer(normal, sequence);
      twice.bytes.insert(twice.bytes.end(), twice.bytes.begin(), twice.bytes.end());
      twice.text += " twice";
      twice.nextStage = true;
      return twice;
    }
    case PolicyKind::Shed: {
      if (!IsEvent(requestType)) return Answer(normal, sequence);
      Reply shed = Forgotten(Answer(rtDisconnect, sequence));
      shed.spent = true;
      return shed;
    }
    case PolicyKind::Silent:
    case PolicyKind::Blackhole:  // nothing is read under it; a request read before gets no answer either
      return Reply{Reply::What::Nothing, {}, "none"};
    case PolicyKind::Garbage:
      return Garbage(requestNumber, sequence, random);
    case PolicyKind::Drop:
      if (requestNumber > static_cast<std::uint64_t>(policy.count)) return Reply{Reply::What::CloseConnection, {}, "drop"};
      return Answer(normal, sequence);
  }
  return Reply{};
}

}  // namespace vorel::p8server
