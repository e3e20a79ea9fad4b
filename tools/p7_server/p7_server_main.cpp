// vorel_p7_server: a message server for the protocol-7 link, for tests, the
// demo and integrators. It prints every frame the driver sends and sends the
// clock and close commands when told to. Single-threaded, one poll loop.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <list>
#include <string>
#include <vector>

#include "base/local_time.h"
#include "p7/frame.h"
#include "p7_commands.h"
#include "p7_frame_text.h"
#include "tcp_server.h"

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
At SIGTERM, SIGINT or "quit":
  summary frames=N events=M
Commands (standard input, one per line, applied to every open connection):
  setclock now                           send ftSetClock with the local time
  setclock YYYY-MM-DD HH:MM:SS[.mmm]     send ftSetClock with that local time
  close                                  send ftClose
  disconnect                             close the connection from this side
  quit                                   end the server
Options:
  -e "after-connect MS ACTION"   ACTION (a command above but quit) MS ms after
                                 each connection comes up; repeatable
  -e "after-frames N ACTION"     ACTION once a connection has sent N frames
  --close-after N                same as -e "after-frames N close"
  -o FILE                        write the lines to FILE instead of stdout
  --no-stdin                     do not read commands from standard input
  -h, --help                     this text
)";

struct Options {
  std::string host;
  std::uint16_t port = 7788;
  std::vector<TimedAction> rules;
  std::string outputPath;
  bool readStdin = true;
};

struct Connection {
  int fd = -1;
  int id = 0;
  std::int64_t connectedAt = 0;
  std::int64_t frames = 0;
  std::vector<bool> ruleDone;
  FrameCutter cutter;
  bool endedHere = false;  // this side decided to end the connection
};

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "vorel_p7_server: %s\n(see --help)\n", text.c_str());
  std::exit(2);
}

void AddRule(Options& options, const std::string& text) {
  auto rule = ParseTimedAction(text);
  if (auto* problem = std::get_if<std::string>(&rule)) Fail(*problem);
  options.rules.push_back(std::get<TimedAction>(rule));
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "-e") {
      AddRule(options, value());
    } else if (arg == "--close-after") {
      AddRule(options, "after-frames " + value() + " close");
    } else if (arg == "-o") {
      options.outputPath = value();
    } else if (arg == "--no-stdin") {
      options.readStdin = false;
    } else if (!arg.empty() && arg[0] == '-') {
      Fail("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty() || positional.size() > 2) Fail("give HOST and optionally PORT");
  options.host = positional[0];
  if (positional.size() == 2) {
    const std::string& text = positional[1];
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > 65535) Fail("bad port " + text);
    options.port = static_cast<std::uint16_t>(value);
  }
  return options;
}

class Server {
 public:
  explicit Server(Options options) : options_(std::move(options)) {}

  int Run() {
    out_.Open(options_.outputPath);
    const int stopFd = tools::InstallStopSignals();
    std::string bound;
    listenFd_ = tools::ListenTcp(options_.host, options_.port, bound);
    start_ = tools::MonotonicMs();
    out_.Line("listening " + bound);
    while (!quit_) {
      std::vector<pollfd> fds{{stopFd, POLLIN, 0}, {listenFd_, POLLIN, 0}};
      if (options_.readStdin) fds.push_back({STDIN_FILENO, POLLIN, 0});
      const std::size_t firstConnection = fds.size();
      for (const auto& c : connections_) fds.push_back({c.fd, POLLIN, 0});
      ::poll(fds.data(), fds.size(), 20);  // 20 ms: the resolution of the after-connect rules
      if (fds[0].revents != 0) break;
      if (fds[1].revents & POLLIN) Accept();
      if (options_.readStdin && fds[2].revents != 0) ReadStdin();
      std::size_t index = firstConnection;
      for (auto it = connections_.begin(); it != connections_.end();) {
        const bool readable = index < fds.size() && fds[index].fd == it->fd && fds[index].revents != 0;
        ++index;
        if (readable && !Receive(*it)) {
          it = Drop(it, it->endedHere ? "server" : "peer");
          continue;
        }
        ++it;
      }
      RunTimedRules();
    }
    for (auto it = connections_.begin(); it != connections_.end();) it = Drop(it, "server");
    out_.Line("summary frames=" + std::to_string(frames_) + " events=" + std::to_string(events_));
    ::close(listenFd_);
    return 0;
  }

 private:
  std::string Stamp() const { return "t=" + std::to_string(tools::MonotonicMs() - start_) + " "; }

  void Accept() {
    std::string peer;
    for (int fd; (fd = tools::AcceptClient(listenFd_, peer)) >= 0;) {
      Connection c;
      c.fd = fd;
      c.id = ++lastId_;
      c.connectedAt = tools::MonotonicMs();
      c.ruleDone.assign(options_.rules.size(), false);
      connections_.push_back(std::move(c));
      out_.Line(Stamp() + "connect conn=" + std::to_string(lastId_) + " peer=" + peer);
    }
  }

  // False when the peer has closed or the connection failed.
  bool Receive(Connection& c) {
    std::uint8_t bytes[4096];
    const ssize_t n = ::read(c.fd, bytes, sizeof bytes);
    if (n <= 0) return n < 0 && (errno == EAGAIN || errno == EINTR);
    c.cutter.Push({bytes, static_cast<std::size_t>(n)});
    while (auto frame = c.cutter.Next()) {
      ++c.frames;
      ++frames_;
      if (p7::DecodeFrame(*frame) && (*frame)[p7::kTypeOffset] == p7::ftEvent) ++events_;
      out_.Line(Stamp() + "frame " + DescribeFrame(*frame) + " conn=" + std::to_string(c.id));
      for (std::size_t r = 0; r < options_.rules.size(); ++r) {
        const auto& rule = options_.rules[r];
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
        out_.Line(Stamp() + "error the local time is not a date-time" + id);
        return true;
      }
      frame = p7::BuildSetClockFrame(*clock);
      text = "sent type=" + FrameTypeLabel(p7::ftSetClock) + " time=\"" + FormatDateTime(*clock) + "\"";
    }
    if (!tools::SendAll(c.fd, frame)) {
      out_.Line(Stamp() + "error send failed" + id);
      c.endedHere = true;
      return false;
    }
    out_.Line(Stamp() + text + id);
    return true;
  }

  void RunTimedRules() {
    const std::int64_t now = tools::MonotonicMs();
    for (auto it = connections_.begin(); it != connections_.end();) {
      bool keep = true;
      for (std::size_t r = 0; keep && r < options_.rules.size(); ++r) {
        const auto& rule = options_.rules[r];
        if (it->ruleDone[r] || rule.trigger != Trigger::AfterConnect || now - it->connectedAt < rule.amount) continue;
        it->ruleDone[r] = true;
        keep = Perform(*it, rule.action);
      }
      it = keep ? std::next(it) : Drop(it, "server");
    }
  }

  void ReadStdin() {
    char bytes[1024];
    const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
    if (n <= 0) {  // end of input: go on serving, without commands
      options_.readStdin = false;
      return;
    }
    stdinText_.append(bytes, static_cast<std::size_t>(n));
    for (std::size_t end; (end = stdinText_.find('\n')) != std::string::npos;) {
      const std::string line = stdinText_.substr(0, end);
      stdinText_.erase(0, end + 1);
      Command(line);
    }
  }

  void Command(const std::string& line) {
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) return;
    if (line.substr(first, line.find_last_not_of(" \t\r") + 1 - first) == "quit") {
      quit_ = true;
      return;
    }
    auto action = ParseAction(line);
    if (auto* problem = std::get_if<std::string>(&action)) {
      out_.Line(Stamp() + "error " + *problem);
      return;
    }
    if (connections_.empty()) out_.Line(Stamp() + "error no connection");
    for (auto it = connections_.begin(); it != connections_.end();)
      it = Perform(*it, std::get<Action>(action)) ? std::next(it) : Drop(it, "server");
  }

  std::list<Connection>::iterator Drop(std::list<Connection>::iterator it, const char* by) {
    ::close(it->fd);
    out_.Line(Stamp() + "disconnect conn=" + std::to_string(it->id) + " by=" + by + " frames=" +
              std::to_string(it->frames) + " tail=" + std::to_string(it->cutter.Pending()));
    return connections_.erase(it);
  }

  Options options_;
  tools::LineOutput out_;
  int listenFd_ = -1;
  std::int64_t start_ = 0;
  std::list<Connection> connections_;
  int lastId_ = 0;
  std::int64_t frames_ = 0;
  std::int64_t events_ = 0;
  std::string stdinText_;
  bool quit_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  try {
    return Server(ParseArguments(argc, argv)).Run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vorel_p7_server: %s\n", error.what());
    return 1;
  }
}
