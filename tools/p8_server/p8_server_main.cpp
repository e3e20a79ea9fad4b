// vorel_p8_server: a protocol-8 server for tests, the demo and integrators.
// It prints every record the driver sends and answers each one according to
// the chosen policy. Single-threaded, one poll loop.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <exception>
#include <list>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "p8/record.h"
#include "p8/record_types.h"
#include "p8_policy.h"
#include "p8_record_text.h"
#include "tcp_server.h"

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
  garbage     in turn: random bytes, rtPoll in a 0xF0 envelope, a record without
              0xFE, body length 0x7FFFFFFF, body length -1, body length 0
  drop[:N]    as accept for N requests of a connection (default 5), then closes it
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

struct Options {
  std::string host;
  std::uint16_t port = 12543;
  Policy policy;
  unsigned seed = 1;
  std::string outputPath;
  bool readStdin = true;
};

struct Connection {
  int fd = -1;
  int id = 0;
  std::uint64_t requests = 0;
  FrameReader reader;
};

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "vorel_p8_server: %s\n(see --help)\n", text.c_str());
  std::exit(2);
}

template <class Number>
Number ParseNumber(const std::string& text, Number highest, const std::string& what) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > highest)
    Fail("bad " + what + " " + text);
  return value;
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
    } else if (arg == "--policy") {
      const std::string name = value();
      const auto policy = ParsePolicy(name);
      if (!policy) Fail("unknown policy " + name);
      options.policy = *policy;
    } else if (arg == "--seed") {
      options.seed = ParseNumber<unsigned>(value(), 0xFFFFFFFFu, "seed");
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
  if (positional.size() == 2) options.port = ParseNumber<std::uint16_t>(positional[1], 65535, "port");
  return options;
}

class Server {
 public:
  explicit Server(Options options) : options_(std::move(options)), random_(options_.seed) {}

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
      ::poll(fds.data(), fds.size(), -1);
      if (fds[0].revents != 0) break;
      if (fds[1].revents & POLLIN) Accept();
      std::size_t index = firstConnection;
      for (auto it = connections_.begin(); it != connections_.end();) {
        const bool readable = index < fds.size() && fds[index].fd == it->fd && fds[index].revents != 0;
        ++index;
        it = (readable && !Receive(*it)) ? Drop(it, it->reader.Broken() ? "server" : "peer") : std::next(it);
      }
      if (options_.readStdin && fds[2].revents != 0) ReadStdin();
    }
    for (auto it = connections_.begin(); it != connections_.end();) it = Drop(it, "server");
    std::string summary = "summary requests=" + std::to_string(requests_) + " answers=" + std::to_string(answers_);
    for (const auto& [type, count] : perType_) {
      const auto name = RecordTypeName(type);
      summary += " " + (name.empty() ? RecordTypeLabel(type) : std::string(name)) + "=" + std::to_string(count);
    }
    out_.Line(summary + " bad=" + std::to_string(bad_));
    ::close(listenFd_);
    return 0;
  }

 private:
  std::string Stamp() const { return "t=" + std::to_string(tools::MonotonicMs() - start_) + " "; }

  void Accept() {
    std::string peer;
    for (int fd; (fd = tools::AcceptClient(listenFd_, peer)) >= 0;) {
      connections_.push_back(Connection{fd, ++lastId_, 0, {}});
      out_.Line(Stamp() + "connect conn=" + std::to_string(lastId_) + " peer=" + peer);
    }
  }

  // False when the connection is to go.
  bool Receive(Connection& c) {
    std::uint8_t bytes[4096];
    const ssize_t n = ::read(c.fd, bytes, sizeof bytes);
    if (n <= 0) return n < 0 && (errno == EAGAIN || errno == EINTR);
    c.reader.Push({bytes, static_cast<std::size_t>(n)});
    const std::string id = " conn=" + std::to_string(c.id);
    while (auto item = c.reader.Next()) {
      if (!item->error.empty()) {
        ++bad_;
        out_.Line(Stamp() + "error " + item->error + id);
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
      out_.Line(Stamp() + "request " + DescribeRecord(item->body) + id);
      const auto reply = ReplyFor(options_.policy, header ? std::optional(header->recordType) : std::nullopt,
                                  header ? header->sequence : 0, c.requests, random_);
      out_.Line(Stamp() + "answer " + reply.text + id);
      if (reply.what == Reply::What::CloseConnection) return false;
      if (reply.what == Reply::What::Send) {
        if (!tools::SendAll(c.fd, reply.bytes)) return false;
        ++answers_;
      }
    }
    return true;
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
      std::string line = stdinText_.substr(0, end);
      stdinText_.erase(0, end + 1);
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      Command(line.substr(std::min(line.size(), line.find_first_not_of(' '))));
    }
  }

  void Command(const std::string& line) {
    if (line.empty()) return;
    if (line == "quit") {
      quit_ = true;
    } else if (line == "disconnect") {
      for (auto it = connections_.begin(); it != connections_.end();) it = Drop(it, "server");
    } else if (line.rfind("policy ", 0) == 0) {
      const auto policy = ParsePolicy(line.substr(7));
      if (!policy) {
        out_.Line(Stamp() + "error unknown policy " + line.substr(7));
        return;
      }
      options_.policy = *policy;
      out_.Line(Stamp() + "policy " + PolicyName(*policy));
    } else {
      out_.Line(Stamp() + "error unknown command: " + line);
    }
  }

  std::list<Connection>::iterator Drop(std::list<Connection>::iterator it, const char* by) {
    ::close(it->fd);
    out_.Line(Stamp() + "disconnect conn=" + std::to_string(it->id) + " by=" + by +
              " requests=" + std::to_string(it->requests));
    return connections_.erase(it);
  }

  Options options_;
  std::mt19937 random_;
  tools::LineOutput out_;
  int listenFd_ = -1;
  std::int64_t start_ = 0;
  std::list<Connection> connections_;
  int lastId_ = 0;
  std::uint64_t requests_ = 0;
  std::uint64_t answers_ = 0;
  std::uint64_t bad_ = 0;
  std::map<std::int32_t, std::uint64_t> perType_;
  std::string stdinText_;
  bool quit_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  try {
    return Server(ParseArguments(argc, argv)).Run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vorel_p8_server: %s\n", error.what());
    return 1;
  }
}
