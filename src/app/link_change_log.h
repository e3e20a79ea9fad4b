// Lines for standard error when a link goes down or comes back: the station
// link of each port and the links to both servers. Under systemd a lost link
// is a warning, so "journalctl -p warning" shows it beside the lines of the
// operator's log. The first look only learns the states: a driver starts with
// every link down, and that is no news.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/journal_levels.h"
#include "station/station_status.h"

namespace vorel {

class LinkChangeLog {
 public:
  // The lines for what changed since the last look.
  std::vector<std::pair<Severity, std::string>> Look(const StationStatus& now);

 private:
  std::optional<StationStatus> last_;
};

}  // namespace vorel
