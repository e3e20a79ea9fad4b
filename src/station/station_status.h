// What the station core tells of its state: each port with its station
// link, both server links and what waits in the spool. The status file, the
// service manager's status line and the window are made from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/datetime.h"

namespace vorel {

// Connecting: an attempt is under way (protocol 7: the TCP connect;
// protocol 8: from the connect to the server's first answer).
enum class LinkState { Off, Down, Connecting, Up };

struct SerialPortStatus {
  std::string name;  // the port's current name
  bool open = false;
  bool stationLinkUp = false;
  std::optional<TDateTime> lastFrame;  // nothing while no frame came in this run
};

// Alarm events since the start.
// On the main port received = acknowledged + notAcknowledged + awaitingAck;
// the second port acknowledges nothing.
struct AlarmCounts {
  std::uint64_t received = 0;         // frames with an account, main port
  std::uint64_t receivedSecond = 0;   // frames with an account, second port
  std::uint64_t acknowledged = 0;     // main port: the station got its ACK
  std::uint64_t notAcknowledged = 0;  // main port: refused (nothing kept it) or the ACK not written
  std::uint64_t awaitingAck = 0;      // main port: decided later (a server's answer)
  std::uint64_t notKept = 0;          // an output's copy neither sent nor spooled
  std::uint64_t dropped = 0;          // protocol 8: dropped by NotSendToDiskMivo8
  // Events (on protocol 7 also station-link reports) that their server has:
  // acknowledged by its TCP (protocol 7), answered (protocol 8); a spool
  // file holding one is removed then.
  std::uint64_t deliveredProtocol7 = 0;
  std::uint64_t deliveredProtocol8 = 0;
};

struct StationStatus {
  SerialPortStatus main;
  SerialPortStatus second;
  LinkState protocol7 = LinkState::Off;  // Off: SendMivo7 is off
  LinkState protocol8 = LinkState::Off;  // Off: SendMivo8 is off
  std::size_t ddmFiles = 0;              // spool files waiting for each link
  std::size_t dd8Files = 0;
  // The file each replay takes next (the oldest by name), if any.
  std::optional<std::string> ddmNext;
  std::optional<std::string> dd8Next;
  AlarmCounts alarms;
};

}  // namespace vorel
