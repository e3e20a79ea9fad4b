// Both servers the driver talks to, played in the benchmark's own process on
// loopback so that arrivals are stamped with the same steady clock as the
// station's writes: a protocol-7 message server reading 555-byte frames, and
// a protocol-8 server answering rtHello with rtAccept, events with their
// acknowledgements and everything else with rtPoll.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/bytes.h"

namespace vorel::bench {

using SteadyTime = std::chrono::steady_clock::time_point;

class LoopbackServers {
 public:
  LoopbackServers() = default;
  ~LoopbackServers();
  LoopbackServers(const LoopbackServers&) = delete;
  LoopbackServers& operator=(const LoopbackServers&) = delete;

  // Listens on p7Host:p7Port and p8Host:<free port>; false with `error` set
  // when a socket cannot be had.
  bool Start(const std::string& p7Host, int p7Port, const std::string& p8Host, std::string& error);
  int P8Port() const { return p8Port_; }

  struct Counts {
    std::uint64_t p7Connections = 0, p7Hellos = 0, p7Frames = 0, p7Events = 0;
    std::uint64_t p8Connections = 0, p8Hellos = 0, p8Polls = 0, p8Records = 0, p8Events = 0;
  };
  Counts GetCounts() const;
  // When the first ftEvent / rtEventMain of this account (FirstNumber ×
  // 10000 + the station's four digits) arrived whole.
  std::optional<SteadyTime> P7Arrival(std::int32_t account) const;
  std::optional<SteadyTime> P8Arrival(std::int32_t account) const;

 private:
  struct Connection {
    bool protocol8 = false;
    Bytes buffer;
  };
  void Run();
  void Accept(int listener, bool protocol8);
  // False when the connection is to be closed.
  bool Read(int fd, Connection& connection);
  void TakeFrames7(Connection& connection, SteadyTime now);
  bool TakeRecords8(int fd, Connection& connection, SteadyTime now);

  int p7Listener_ = -1;
  int p8Listener_ = -1;
  int p8Port_ = 0;
  int stopPipe_[2] = {-1, -1};
  std::map<int, Connection> connections_;  // server thread only
  std::thread thread_;

  mutable std::mutex mutex_;
  Counts counts_;
  std::map<std::int32_t, SteadyTime> p7Arrivals_;
  std::map<std::int32_t, SteadyTime> p8Arrivals_;
};

}  // namespace vorel::bench
