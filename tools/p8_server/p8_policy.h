// How the protocol-8 reference server answers each request. One policy holds
// at a time; it can be switched while connections are open.
//   accept      rtHello -> rtAccept, rtEventMain -> rtEventMainAck,
//               rtEventSecond -> rtEventSecondAck, anything else -> rtPoll
//   ping[:N]    as accept, but every Nth request (default 3) that would get
//               rtPoll gets rtPing
//   disconnect  rtDisconnect to everything
//   close       rtClose to everything
//   deny        rtAccessDenied to everything
//   silent      no answer at all
//   blackhole   neither reads nor answers: the connection stays open and the
//               requests wait in it until another policy comes, which reads
//               and answers them (a hung server, a network black hole)
//   garbage     in turn: random bytes, an rtPoll answer in a 0xF0 envelope, a
//               record without 0xFE, a huge body length, a negative body
//               length, an empty body
//   drop[:N]    as accept for N requests (default 5) of a connection, then
//               closes the connection instead of answering
//   late[:MS]   as accept, each answer sent MS ms after its request (default
//               1200: after the driver's 1-s wait)
//   trickle[:MS] as accept, each answer sent one byte every MS ms (default 900)
//   forget      reads each request and fails before it keeps it: no answer,
//               and the output shows "forgot seq=N", not the record
//   twice       answers the next event twice (both answers in one write),
//               then forgets the event after it without an answer; then
//               back to accept
//   shed        answers the next event with rtDisconnect and keeps nothing
//               ("forgot seq=N"), as a server shedding load; then back to
//               accept
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace vorel::p8server {

enum class PolicyKind {
  Accept, Ping, Disconnect, Close, Deny, Silent, Garbage, Drop, Blackhole, Late, Trickle, Forget, Twice, Shed
};

struct Policy {
  PolicyKind kind = PolicyKind::Accept;
  int count = 0;  // ping: every Nth; drop: after N; late, trickle: milliseconds
  int stage = 0;  // twice: 1 once the event was answered twice
};

// Whether the server reads its connections under this policy.
inline bool Reads(const Policy& policy) { return policy.kind != PolicyKind::Blackhole; }

// nullopt for an unknown name or a count that is not a whole number >= 1.
std::optional<Policy> ParsePolicy(std::string_view text);
std::string PolicyName(const Policy& policy);

// The answer of the accept policy to a request of this type.
std::int32_t AcceptAnswerType(std::int32_t requestType);

// One answer frame as the driver expects it: envelope 0xFF with the body
// length at 5 and 17, record header 0xFF ... 0xFE, no payload.
Bytes AnswerFrame(std::int32_t recordType, std::uint64_t sequence);

struct Reply {
  enum class What { Send, Nothing, CloseConnection };
  What what = What::Nothing;
  Bytes bytes;       // Send: the frame
  std::string text;  // for the output line: "type=rtAccept(0x02000003)", "garbage=huge-length", "none", "drop"
  bool keeps = true;       // false: the server lost the record ("forgot seq=N")
  bool nextStage = false;  // the policy goes on to its next stage
  bool spent = false;      // a one-time policy is done: back to accept
};

// The reply to the requestNumber-th request of a connection (from 1).
// requestType is nullopt for a body that is no record; it gets what rtPoll
// would get. The answer carries the request's sequence number.
Reply ReplyFor(const Policy& policy, std::optional<std::int32_t> requestType, std::uint64_t sequence,
               std::uint64_t requestNumber, std::mt19937& random);

}  // namespace vorel::p8server
