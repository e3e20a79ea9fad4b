// The work of the protocol-8 link thread: connection attempts with their
// handshake, one exchange per pass (a queued record or an idle poll, then one
// answer), the server's commands, and the error count that forces a
// reconnect. The thread calls RunPass in a loop; tests call it directly with
// a fake connection and a fake clock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/bytes.h"
#include "base/clock.h"
#include "p8/link_connection.h"
#include "p8/link_hand_over.h"
#include "p8/link_state.h"
#include "p8/record.h"

namespace vorel {


inline constexpr std::uint32_t kLinkAnswerWaitMs = 1000;
// An answer not in within kLinkAnswerWaitMs is still waited for, up to this
// long after its request, with no other request sent meanwhile: whatever
// comes then can only be that answer. Past it, the connection is replaced.
inline constexpr std::uint32_t kLinkLateAnswerLimitMs = 5000;
inline constexpr std::uint32_t kLinkReconnectPauseMs = 5000;
inline constexpr std::uint32_t kLinkPollIntervalMs = 500;
inline constexpr int kLinkMaxErrors = 20;
inline constexpr std::size_t kLinkBodyChunk = 50000;
// The waits an answer's body may take in all: a server that trickles its
// answer cannot hold the link thread longer than that.
inline constexpr int kLinkMaxBodyWaits = 3;
// No answer of this protocol comes near this size; a larger body length is
// taken for garbage rather than allocated.
inline constexpr std::int32_t kLinkMaxAnswerBody = 1 << 20;
// The longest the link thread rests between passes when nothing is due.
inline constexpr std::uint32_t kLinkQuietMaxMs = 1000;

// What the link thread is given when it starts (defaults: see cl::Start).
struct LinkEnvironment {
  IClock* clock = nullptr;
  ILinkConnectionFactory* connections = nullptr;
  ILinkHandOver* handOver = nullptr;
  // "vorel.ini" of the configuration directory; section ServerHost is read
  // again before every attempt.
  std::filesystem::path configFile;
  std::int32_t firstNumber = 0;
  // The dotted file version of the program, read once per connection.
  std::function<std::string()> versionText;
  // Rests the link thread between passes for up to the given milliseconds
  // (a test's waiter moves its clock instead); none: a real wait, cut short
  // by a record queued or a stop requested.
  std::function<void(std::uint32_t quietMs)> rest;
};

// The file version of the running executable, through the version reader.
std::string OwnFileVersionText();

class LinkSession {
 public:
  LinkSession(ILinkState& link, LinkEnvironment environment);
  ~LinkSession();
  LinkSession(const LinkSession&) = delete;
  LinkSession& operator=(const LinkSession&) = delete;

  // One pass: an exchange while the link is up, else an attempt when one is
  // due, else (access denied) the one log line.
  void RunPass();
  // The end of the thread: an open connection is closed and released.
  void Finish();
  // How long, by this session's clock, the passes after this one would do
  // nothing but look: 0 when a record was answered and more wait; 1 while
  // something is under way (a record or an answer to handle, errors being
  // counted); else the time until the next poll or connection attempt is
  // due; kLinkQuietMaxMs when only a queued record can start work. The
  // thread sleeps that long unless a record comes first.
  std::uint32_t QuietMs() const;

  int ErrorCount() const { return errorCount_; }
  bool ServerAccepted() const { return serverAccepted_; }
  const Bytes& ReceiveBuffer() const { return receiveBuffer_; }

 private:
  // A request whose answer has not come yet.
  struct Outstanding {
    std::optional<QueuedRecord> head;  // the queued record it carried, if it carried one
    std::uint32_t sentTick = 0;
    bool late = false;  // its first wait ended without it
  };
  enum class AnswerRead { Whole, NotYet, Broken };

  void ExchangePass();
  // One wait for the outstanding request's answer, and what follows from it.
  void AwaitAnswer();
  // After the exchange that wrote `head`: drops it from the queue, or keeps
  // it there to go again, and ends its spool file when the answer says so.
  void SettleWrittenHead(const QueuedRecord& head, const std::optional<RecordHeader>& answer);
  // The connection can no longer tell whose answer is whose: it ends, and the
  // next attempt follows under the 5-s rule.
  void EndConnection(const char* why);
  // LinkUp cleared; the spooled records still queued go back to their files.
  void LinkDown();
  void ConnectionAttempt();
  void Handshake();
  // False when the write failed (the connection is then closed).
  bool SendStep(const Bytes& record);
  // Whole: receiveBuffer_ holds the answer's body (empty for a body length
  // of 0). NotYet: the wait ended within the envelope header, the connection
  // still open; the bytes in are kept for the next wait. Broken: no answer
  // can come in step (connection gone, envelope not ours, body cut off).
  AnswerRead ReceiveStep(std::uint32_t waitMs);
  void ActOnAnswer(std::int32_t recordType);
  void CloseConnection();
  void OnDisconnected();
  bool MoreThanPassed(std::uint32_t since, std::uint32_t ms);
  // Milliseconds until more than `ms` have passed since `since`.
  std::uint32_t UntilMoreThan(std::uint32_t since, std::uint32_t ms) const;
  void Log(Severity severity, const std::string& text) { env_.handOver->AddLogLine(severity, text); }
  void Refresh() { env_.handOver->RefreshIndicator(); }

  ILinkState& link_;
  LinkEnvironment env_;
  std::unique_ptr<ILinkConnection> connection_;
  bool serverAccepted_ = false;
  bool pollDue_ = false;
  bool answerExpected_ = false;
  bool recordSent_ = false;
  int errorCount_ = 0;
  std::uint32_t lastPollTick_ = 0;
  // Empty until the first attempt, which therefore comes at once whatever
  // the tick counter shows.
  std::optional<std::uint32_t> lastConnectTick_;
  bool accessDeniedLogged_ = false;
  std::optional<Outstanding> outstanding_;
  // The envelope header bytes of an answer that is coming.
  Bytes answerSoFar_;
  // Bytes came that no request asked for, or an answer was no answer: what
  // comes next on this connection may belong to another exchange, so none
  // settles anything; the connection ends at the next pass.
  bool outOfStep_ = false;
  Bytes receiveBuffer_;
};

}  // namespace vorel
