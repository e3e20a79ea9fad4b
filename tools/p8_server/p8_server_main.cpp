// vorel_p8_server: a protocol-8 server for tests, the demo and integrators.
// It prints every record the driver sends and answers each one according to
// the chosen policy. Single-threaded, one poll loop.
#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "p8/record.h"
#include "p8/record_types.h"
#include "p8_policy.h"
#include "p8_record_text.h"
#include "server_loop.h"

namespace {

using namespace vorel;
using namespace vorel::p8server;

constexpr const char* kUsage = R"(usage: vorel_p8_server [options] HOST [PORT]
Listens on HOST:PORT (PORT defaults to 12543, the driver's default; 0 lets
the system choose), prints every protocol-8 record received, one line each,
and answers it according to the policy. The first line is
"listening HOST:PORT"; every other line starts with t=MS (milliseconds since
start):
  t=MS connect conn=ID peer=HOST:PORT
  t=MS request type=rtEventMain(0x03000018) seq=5 account=310011 code=E1 time="2026-12-10 12:00:00.000" conn=ID
  t=MS request type=rtEventSecond(0x0300001A) seq=6 account=310011 details=1,2 time="..." conn=ID
  t=MS request type=rtPortStatus(0x02200064) seq=1 port1=COM1 open1=1 port2=COM5 open2=0 conn=ID
  t=MS request type=rtFirstNumber(0x02200065) seq=2 value=31 conn=ID
  t=MS request type=rtVersion(0x02200063) seq=3 version=8.1.3.142 conn=ID
  t=MS request type=rtHello(0x02000001) seq=0 bytes=13 00 conn=ID
  t=MS answer type=rtAccept(0x02000003) conn=ID  |  answer none  |  answer garbage=KIND  |  answer drop
  t=MS error bad-envelope head=..  |  error bad-length length=N     (the server then drops the connection)
  t=MS disconnect conn=ID by=peer|server requests=N
  t=MS policy NAME
At SIGTERM, SIGINT or "quit":
  summary requests=N answers=M rtHello=.. rtEventMain=.. (one count per request type seen) bad=K
Policies (--policy, or "policy NAME" on standard input):
  accept      rtHello -> rtAccept, rtEventMain -> rtEventMainAck,
              rtEventSecond -> rtEventSecondAck, anything else -> rtPoll (default)
  ping[:N]    as accept, but every Nth request (default 3) due an rtPoll gets rtPing
  disconnect  rtDisconnect          close   rtClose          deny   rtAccessDenied
  silent      never answers
  blackhole   neither reads nor answers; the requests wait in the connection
              until another policy comes, which reads and answers them
  garbage     in turn: random bytes, rtPoll in a 0xF0 envelope, a record without
              0xFE, body length 0x7FFFFFFF, body length -1, body length 0
  drop[:N]    as accept for N requests of a connection (default 5), then closes it
  late[:MS]   as accept, each answer MS ms after its request (default 1200)
  trickle[:MS] as accept, each answer one byte every MS ms (default 900)
  forget      reads each request and fails before it keeps it: no answer, and
              the line is "t=MS forgot seq=N conn=ID" instead of the record
  twice       answers the next event twice (in one write), then forgets the
              event after it without an answer, then goes back to accept
  shed        answers the next event with rtDisconnect and forgets it, then
              goes back to accept
Commands (standard input, one per line):
  policy NAME    switch the policy for every connection
  disconnect     close every connection from this side
  quit           end the server
Options:
  --policy NAME  the starting policy (default accept)
  --seed N       seed of the garbage policy's random bytes (default 1)
  -o FILE        write the lines to FILE instead of stdout
  --no-stdin     do not read commands from standard input
  -h, --help     this text
)";

constexpr tools::ServerProgram kProgram{"vorel_p8_server", kUsage, 12543};

struct Options {
  tools::ServerOptions common;
  Policy policy;
  unsigned seed = 1;
};

struct Connection : tools::ServerConnection {
  std::uint64_t requests = 0;
  FrameReader reader;
  // Answers of the late and trickle policies: bytes to send at a time.
  std::deque<std::pair<std::int64_t, Bytes>> pending;
};

Options ParseArguments(int argc, char** argv) {
  Options options;
  auto policy = [&](const std::string& name) {
    const auto parsed = ParsePolicy(name);
    if (!parsed) tools::UsageError(kProgram, "unknown policy " + name);
    options.policy = *parsed;
  };
  auto seed = [&](const std::string& text) {
    const auto parsed = tools::ParseWholeNumber(text, 0xFFFFFFFFu);
    if (!parsed) tools::UsageError(kProgram, "bad seed " + text);
    options.seed = static_cast<unsigned>(*parsed);
  };
  options.common = tools::ParseServerArguments(argc, argv, kProgram, {{"--policy", policy}, {"--seed", seed}});
  return options;
}

// Records are answered before commands; the loop turns at least every 20 ms
// for the answers the late and trickle policies send later.
class Server : public tools::ConnectionServer<Connection> {
 public:
  explicit Server(Options options)
      : ConnectionServer(std::move(options.common), {.pollTimeoutMs = 20, .commandsFirst = false}),
        policy_(options.policy),
        random_(options.seed) {
    PauseReading(!Reads(policy_));
  }

 private:
  // False when the connection is to go: a broken envelope, the drop policy
  // or a failed answer.
  bool Receive(Connection& c, std::span<const std::uint8_t> bytes) override {
    c.reader.Push(bytes);
    const std::string id = " conn=" + std::to_string(c.id);
    while (auto item = c.reader.Next()) {
      if (!item->error.empty()) {
        ++bad_;
        Note("error " + item->error + id);
        c.endedHere = true;
        return false;
      }
      ++requests_;
      ++c.requests;
      const auto header = ParseRecordHeader(item->body);
      if (header) {
        ++perType_[header->recordType];
      } else {
        ++bad_;
      }
      const auto reply = ReplyFor(policy_, header ? std::optional(header->recordType) : std::nullopt,
                                  header ? header->sequence : 0, c.requests, random_);
      if (reply.keeps) {
        Note("request " + DescribeRecord(item->body) + id);
      } else {
        Note("forgot seq=" + std::to_string(header ? header->sequence : 0) + id);
      }
      if (reply.keeps || reply.what != Reply::What::Nothing) Note("answer " + reply.text + id);
      if (reply.nextStage) ++policy_.stage;
      if (reply.spent) {
        policy_ = Policy{};
        Note("policy " + PolicyName(policy_));
      }
      if (reply.what == Reply::What::CloseConnection) return false;
      if (reply.what == Reply::What::Send) {
        ++answers_;
        if (policy_.kind == PolicyKind::Late) {
          c.pending.emplace_back(tools::MonotonicMs() + policy_.count, reply.bytes);
        } else if (policy_.kind == PolicyKind::Trickle) {
          std::int64_t at = tools::MonotonicMs();
          for (std::uint8_t byte : reply.bytes) c.pending.emplace_back(at += policy_.count, Bytes{byte});
        } else if (!tools::SendAll(c.fd, reply.bytes)) {
          return false;
        }
      }
    }
    return true;
  }

  void AfterPoll() override {
    const std::int64_t now = tools::MonotonicMs();
    for (auto it = connections().begin(); it != connections().end();) {
      bool sent = true;
      while (sent && !it->pending.empty() && it->pending.front().first <= now) {
        sent = tools::SendAll(it->fd, it->pending.front().second);
        it->pending.pop_front();
      }
      it = sent ? std::next(it) : Drop(it, "server");
    }
  }

  // Spaces around a command and a carriage return at its end do not count.
  void Command(const std::string& typed) override {
    std::string line = typed;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    line.erase(0, std::min(line.size(), line.find_first_not_of(' ')));
    if (line.empty()) return;
    if (line == "quit") {
      Quit();
    } else if (line == "disconnect") {
      for (auto it = connections().begin(); it != connections().end();) it = Drop(it, "server");
    } else if (line.rfind("policy ", 0) == 0) {
      const auto policy = ParsePolicy(line.substr(7));
      if (!policy) {
        Note("error unknown policy " + line.substr(7));
        return;
      }
      policy_ = *policy;
      PauseReading(!Reads(policy_));
      Note("policy " + PolicyName(*policy));
    } else {
      Note("error unknown command: " + line);
    }
  }

  std::string DisconnectDetails(const Connection& c) const override {
    return " requests=" + std::to_string(c.requests);
  }

  std::string Summary() const override {
    std::string summary = "summary requests=" + std::to_string(requests_) + " answers=" + std::to_string(answers_);
    for (const auto& [type, count] : perType_) {
      const auto name = RecordTypeName(type);
      summary += " " + (name.empty() ? RecordTypeLabel(type) : std::string(name)) + "=" + std::to_string(count);
    }
    return summary + " bad=" + std::to_string(bad_);
  }

  Policy policy_;
  std::mt19937 random_;
  std::uint64_t requests_ = 0;
  std::uint64_t answers_ = 0;
  std::uint64_t bad_ = 0;
  std::map<std::int32_t, std::uint64_t> perType_;
};

}  // namespace

int main(int argc, char** argv) {
  return tools::RunServer(kProgram, [&] { return Server(ParseArguments(argc, argv)).Run(); });
}
