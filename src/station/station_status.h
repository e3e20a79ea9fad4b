// What the station core tells of its state: each port with its station
// link, both server links and what waits in the spool. The status file, the
// service manager's status line and the window are made from it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base/datetime.h"

namespace vorel {

enum class LinkState { Off, Down, Up };

struct SerialPortStatus {
  std::string name;  // the port's current name
  bool open = false;
  bool stationLinkUp = false;
  std::optional<TDateTime> lastFrame;  // nothing while no frame came in this run
};

struct StationStatus {
  SerialPortStatus main;
  SerialPortStatus second;
  LinkState protocol7 = LinkState::Off;  // Off: SendMivo7 is off
  LinkState protocol8 = LinkState::Off;  // Off: SendMivo8 is off
  std::size_t ddmFiles = 0;              // spool files waiting for each link
  std::size_t dd8Files = 0;
};

}  // namespace vorel
