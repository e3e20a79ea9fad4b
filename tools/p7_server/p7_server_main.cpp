// vorel_p7_server: a message server for the protocol-7 link, for tests, the
// demo and integrators. It prints every frame the driver sends and sends the
// clock and close commands when told to. Single-threaded, one poll loop.
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <span>
#include <string>
#include <vector>

#include "base/local_time.h"
#include "p7/frame.h"
#include "p7_commands.h"
#include "p7_frame_text.h"
#include "server_loop.h"

namespace {

using namespace vorel;
using namespace vorel::p7server;

constexpr const char* kUsage = R"(usage: vorel_p7_server [options] HOST [PORT]
Listens on HOST:PORT (PORT defaults to 7788, the driver's fixed port; 0 lets
the system choose) and prints every 555-byte frame received, one line each.
The first line is "listening HOST:PORT"; every other line starts with
t=MS (milliseconds since start):
  t=MS connect conn=ID peer=HOST:PORT
  t=MS frame type=ftEvent(21) account=310011 code=E1 port=31 time="2026-12-10 12:00:00.000" conn=ID
  t=MS frame type=ftHello(20) value=31 conn=ID
  t=MS frame type=ftPortNumber(50) com=3 conn=ID
  t=MS frame type=ftStationLost(72) port=31 conn=ID       (and ftStationRestored(73))
  t=MS frame type=unknown(99) conn=ID
  t=MS frame bad-marker head=FF FE conn=ID                (block not starting FF FF)
  t=MS sent type=ftSetClock(4) time="..." conn=ID   /   t=MS sent type=ftClose(17) conn=ID
  t=MS disconnect conn=ID by=peer|server frames=N tail=BYTES
  t=MS error TEXT
  t=MS stall  /  t=MS resume  /  t=MS finish              (the commands below)
At SIGTERM, SIGINT, "quit" or the end of "finish":
  summary frames=N events=M
Commands (standard input, one per line, applied to every open connection):
  setclock now                           send ftSetClock with the local time
  setclock YYYY-MM-DD HH:MM:SS[.mmm]     send ftSetClock with that local time
  close                                  send ftClose
  disconnect                             close the connection from this side
  quit                                   end the server
Commands about the server as a whole:
  stall        stop reading every connection, as a server that hangs; the
               frames wait in the system's buffers
  resume       read them again
  finish       end without dropping a frame already sent: refuse new
               connections, close each one for sending and read it until the
               driver closes it too (at most 2 s)
  reset        reset every connection, as a server host that restarts: what
               the system took in and the server had not read is lost;
               prints "t=MS reset conn=ID unread=BYTES" first
Options:
  -e "after-connect MS ACTION"   ACTION (a command above but quit) MS ms after
                                 each connection comes up; repeatable
  -e "after-frames N ACTION"     ACTION once a connection has sent N frames
  --close-after N                same as -e "after-frames N close"
  --receive-buffer BYTES         a receive buffer this small on every connection
  -o FILE                        write the lines to FILE instead of stdout
  --no-stdin                     do not read commands from standard input
  -h, --help                     this text
)";

constexpr tools::ServerProgram kProgram{"vorel_p7_server", kUsage, 7788};
// How long "finish" waits for the driver to close its side.
constexpr std::int64_t kFinishGraceMs = 2000;

struct Options {
  tools::ServerOptions common;
  std::vector<TimedAction> rules;
};

struct Connection : tools::ServerConnection {
  std::int64_t connectedAt = 0;
  std::int64_t frames = 0;
  std::vector<bool> ruleDone;
  FrameCutter cutter;
};

void AddRule(std::vector<TimedAction>& rules, const std::string& text) {
  auto rule = ParseTimedAction(text);
  if (auto* problem = std::get_if<std::string>(&rule)) tools::UsageError(kProgram, *problem);
  rules.push_back(std::get<TimedAction>(rule));
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  options.common = tools::ParseServerArguments(
      argc, argv, kProgram,
      {{"-e", [&](const std::string& rule) { AddRule(options.rules, rule); }},
       {"--close-after", [&](const std::string& n) { AddRule(options.rules, "after-frames " + n + " close"); }}});
  return options;
}

// Commands are taken before the connections' bytes; the loop turns at least
// every 20 ms, the resolution of the after-connect rules.
class Server : public tools::ConnectionServer<Connection> {
 public:
  explicit Server(Options options)
      : ConnectionServer(std::move(options.common), {.pollTimeoutMs = 20, .commandsFirst = true}),
        rules_(std::move(options.rules)) {}

 private:
  void OnConnect(Connection& c) override {
    c.connectedAt = tools::MonotonicMs();
    c.ruleDone.assign(rules_.size(), false);
  }

  // False when a rule ends the connection.
  bool Receive(Connection& c, std::span<const std::uint8_t> bytes) override {
    c.cutter.Push(bytes);
    while (auto frame = c.cutter.Next()) {
      ++c.frames;
      ++frames_;
      if (p7::DecodeFrame(*frame) && (*frame)[p7::kTypeOffset] == p7::ftEvent) ++events_;
      Note("frame " + DescribeFrame(*frame) + " conn=" + std::to_string(c.id));
      for (std::size_t r = 0; r < rules_.size(); ++r) {
        const auto& rule = rules_[r];
        if (!c.ruleDone[r] && rule.trigger == Trigger::AfterFrames && c.frames >= rule.amount) {
          c.ruleDone[r] = true;
          if (!Perform(c, rule.action)) return false;
        }
      }
    }
    return true;
  }

  // False when the connection is to go (disconnect, or the send failed).
  bool Perform(Connection& c, const Action& action) {
    const std::string id = " conn=" + std::to_string(c.id);
    if (action.kind == ActionKind::Disconnect) {
      c.endedHere = true;
      return false;
    }
    p7::Frame frame;
    std::string text;
    if (action.kind == ActionKind::Close) {
      frame = p7::BuildCloseFrame();
      text = "sent type=" + FrameTypeLabel(p7::ftClose);
    } else {
      const auto clock = action.clock ? action.clock : LocalDateTimeFromUnix(tools::UnixNowMs());
      if (!clock) {
        Note("error the local time is not a date-time" + id);
        return true;
      }
      frame = p7::BuildSetClockFrame(*clock);
      text = "sent type=" + FrameTypeLabel(p7::ftSetClock) + " time=\"" + FormatDateTime(*clock) + "\"";
    }
    if (!tools::SendAll(c.fd, frame)) {
      Note("error send failed" + id);
      c.endedHere = true;
      return false;
    }
    Note(text + id);
    return true;
  }

  void AfterPoll() override {
    const std::int64_t now = tools::MonotonicMs();
    for (auto it = connections().begin(); it != connections().end();) {
      bool keep = true;
      for (std::size_t r = 0; keep && r < rules_.size(); ++r) {
        const auto& rule = rules_[r];
        if (it->ruleDone[r] || rule.trigger != Trigger::AfterConnect || now - it->connectedAt < rule.amount) continue;
        it->ruleDone[r] = true;
        keep = Perform(*it, rule.action);
      }
      it = keep ? std::next(it) : Drop(it, "server");
    }
  }

  void Command(const std::string& line) override {
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) return;
    const std::string trimmed = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
    if (trimmed == "quit") {
      Quit();
      return;
    }
    if (ServerCommand(trimmed)) return;
    auto action = ParseAction(line);
    if (auto* problem = std::get_if<std::string>(&action)) {
      Note("error " + *problem);
      return;
    }
    if (connections().empty()) Note("error no connection");
    for (auto it = connections().begin(); it != connections().end();)
      it = Perform(*it, std::get<Action>(action)) ? std::next(it) : Drop(it, "server");
  }

  // False when `command` is not one of the server's own.
  bool ServerCommand(const std::string& command) {
    if (command == "stall") {
      PauseReading(true);
    } else if (command == "resume") {
      PauseReading(false);
    } else if (command == "finish") {
      Finish(kFinishGraceMs);
    } else if (command == "reset") {
      ResetAll();
      return true;
    } else {
      return false;
    }
    Note(command);
    return true;
  }

  // SO_LINGER 0: the close resets the connection and throws away what the
  // system holds unread, which is counted first.
  void ResetAll() {
    for (auto it = connections().begin(); it != connections().end();) {
      int unread = 0;
      ::ioctl(it->fd, FIONREAD, &unread);
      Note("reset conn=" + std::to_string(it->id) + " unread=" + std::to_string(unread));
      const linger reset{1, 0};
      ::setsockopt(it->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      it->endedHere = true;
      it = Drop(it, "server");
    }
  }

  std::string DisconnectDetails(const Connection& c) const override {
    return " frames=" + std::to_string(c.frames) + " tail=" + std::to_string(c.cutter.Pending());
  }

  std::string Summary() const override {
    return "summary frames=" + std::to_string(frames_) + " events=" + std::to_string(events_);
  }

  std::vector<TimedAction> rules_;
  std::int64_t frames_ = 0;
  std::int64_t events_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  return tools::RunServer(kProgram, [&] { return Server(ParseArguments(argc, argv)).Run(); });
}
