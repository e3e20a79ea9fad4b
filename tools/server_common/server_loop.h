// The single-threaded poll loop both reference servers run: one listening
// socket, its connections, commands on standard input and the stop pipe of
// SIGTERM/SIGINT. Each server supplies what happens to the bytes of a
// connection, its commands, the details of its "disconnect" line and its
// summary. A server can also stop reading its connections for a while (a
// server that hangs) and end gracefully (Finish). The loop writes the lines
// they share:
//   listening HOST:PORT
//   t=MS connect conn=ID peer=HOST:PORT
//   t=MS disconnect conn=ID by=peer|server<details>
//   <summary>                                 (at SIGTERM, SIGINT or quit)
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <list>
#include <span>
#include <string>
#include <vector>

#include "server_options.h"
#include "tcp_server.h"

namespace vorel::tools {

// The output, the clock of the time stamps and the command input.
class ServerBase {
 public:
  ServerBase(const ServerBase&) = delete;
  ServerBase& operator=(const ServerBase&) = delete;

 protected:
  explicit ServerBase(ServerOptions options) : options_(std::move(options)) {}
  virtual ~ServerBase();

  // Opens the output, catches the stop signals, listens and writes
  // "listening HOST:PORT". Returns the read end of the stop pipe.
  int Start();
  int ListenFd() const { return listenFd_; }

  // "TEXT" as it is, and "t=MS TEXT" with the milliseconds since Start.
  void Line(const std::string& text) { out_.Line(text); }
  void Note(const std::string& text) { out_.Line(Stamp() + text); }

  // Closes the listening socket: new connections are refused from now on.
  void StopListening();

  bool ReadingStdin() const { return options_.readStdin; }
  // Reads what standard input has and hands each whole line, as typed, to
  // Command. At the end of input the server goes on, without commands.
  void ReadStdin();
  virtual void Command(const std::string& line) = 0;

  void Quit() { quit_ = true; }
  bool Quitting() const { return quit_; }

 private:
  std::string Stamp() const { return "t=" + std::to_string(MonotonicMs() - start_) + " "; }

  ServerOptions options_;
  LineOutput out_;
  int listenFd_ = -1;
  std::int64_t start_ = 0;
  std::string stdinText_;
  bool quit_ = false;
};

// What the loop knows of a connection; a server derives its own from it.
struct ServerConnection {
  int fd = -1;
  int id = 0;              // from 1, in the order of acceptance
  bool endedHere = false;  // this side decided to end it: "by=server"
};

template <class Connection>
class ConnectionServer : public ServerBase {
 public:
  int Run();

 protected:
  using Connections = std::list<Connection>;
  using Iterator = typename Connections::iterator;

  struct Loop {
    int pollTimeoutMs = -1;      // how often AfterPoll runs when nothing happens
    bool commandsFirst = false;  // commands before the connections' bytes
  };

  ConnectionServer(ServerOptions options, Loop loop) : ServerBase(std::move(options)), loop_(loop) {}

  // A connection just accepted, before its "connect" line.
  virtual void OnConnect(Connection&) {}
  // Bytes the connection brought; false when it is to go.
  virtual bool Receive(Connection& c, std::span<const std::uint8_t> bytes) = 0;
  // What follows "by=..." in its "disconnect" line.
  virtual std::string DisconnectDetails(const Connection& c) const = 0;
  // After every turn of the loop.
  virtual void AfterPoll() {}
  // The last line.
  virtual std::string Summary() const = 0;

  Connections& connections() { return connections_; }

  // While paused no connection is read, not even for its end: what the peers
  // send waits in the system's buffers, as with a server that hangs. New
  // connections are still accepted.
  void PauseReading(bool paused) { readingPaused_ = paused; }

  // Ends without dropping what the peers have already sent: no new
  // connections, each connection closed for sending only and read on until
  // its peer closes it or `graceMs` pass, then the summary as at a stop.
  void Finish(std::int64_t graceMs);

  Iterator Drop(Iterator it, const char* by) {
    ::close(it->fd);
    Note("disconnect conn=" + std::to_string(it->id) + " by=" + by + DisconnectDetails(*it));
    return connections_.erase(it);
  }

 private:
  void Accept();
  void ServeConnections(const std::vector<pollfd>& fds, std::size_t index);
  bool ReadFrom(Connection& c);

  int PollTimeoutMs() const;

  Loop loop_;
  Connections connections_;
  int lastId_ = 0;
  bool readingPaused_ = false;
  std::int64_t finishBy_ = -1;  // while finishing: the monotonic deadline
};

template <class Connection>
int ConnectionServer<Connection>::Run() {
  const int stopFd = Start();
  while (!Quitting()) {
    std::vector<pollfd> fds{{stopFd, POLLIN, 0}, {ListenFd(), POLLIN, 0}};
    const bool watchStdin = ReadingStdin();
    if (watchStdin) fds.push_back({STDIN_FILENO, POLLIN, 0});
    const std::size_t firstConnection = fds.size();
    if (!readingPaused_)
      for (const auto& c : connections_) fds.push_back({c.fd, POLLIN, 0});
    ::poll(fds.data(), fds.size(), PollTimeoutMs());
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) Accept();
    const bool commands = watchStdin && fds[2].revents != 0;
    if (commands && loop_.commandsFirst) ReadStdin();
    ServeConnections(fds, firstConnection);
    if (commands && !loop_.commandsFirst) ReadStdin();
    AfterPoll();
    if (finishBy_ >= 0 && (connections_.empty() || MonotonicMs() >= finishBy_)) Quit();
  }
  for (auto it = connections_.begin(); it != connections_.end();) it = Drop(it, "server");
  Line(Summary());
  return 0;
}

template <class Connection>
void ConnectionServer<Connection>::Finish(std::int64_t graceMs) {
  StopListening();
  for (const auto& c : connections_) ::shutdown(c.fd, SHUT_WR);
  readingPaused_ = false;
  finishBy_ = MonotonicMs() + graceMs;
}

// While finishing, the deadline is looked at every 20 ms.
template <class Connection>
int ConnectionServer<Connection>::PollTimeoutMs() const {
  constexpr int kFinishCheckMs = 20;
  if (finishBy_ < 0) return loop_.pollTimeoutMs;
  return loop_.pollTimeoutMs < 0 ? kFinishCheckMs : std::min(loop_.pollTimeoutMs, kFinishCheckMs);
}

template <class Connection>
void ConnectionServer<Connection>::Accept() {
  std::string peer;
  for (int fd; (fd = AcceptClient(ListenFd(), peer)) >= 0;) {
    Connection c;
    c.fd = fd;
    c.id = ++lastId_;
    OnConnect(c);
    connections_.push_back(std::move(c));
    Note("connect conn=" + std::to_string(lastId_) + " peer=" + peer);
  }
}

// A connection that came or went since the poll has no entry of its own in
// fds, so each one is matched by its descriptor.
template <class Connection>
void ConnectionServer<Connection>::ServeConnections(const std::vector<pollfd>& fds, std::size_t index) {
  if (readingPaused_) return;  // a command earlier in this turn paused the reading
  for (auto it = connections_.begin(); it != connections_.end();) {
    const bool readable = index < fds.size() && fds[index].fd == it->fd && fds[index].revents != 0;
    ++index;
    it = (readable && !ReadFrom(*it)) ? Drop(it, it->endedHere ? "server" : "peer") : std::next(it);
  }
}

// False when the peer has closed, the connection failed or Receive ends it.
template <class Connection>
bool ConnectionServer<Connection>::ReadFrom(Connection& c) {
  std::uint8_t bytes[4096];
  const ssize_t n = ::read(c.fd, bytes, sizeof bytes);
  if (n <= 0) return n < 0 && (errno == EAGAIN || errno == EINTR);
  return Receive(c, {bytes, static_cast<std::size_t>(n)});
}

}  // namespace vorel::tools
