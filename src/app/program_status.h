// What the driver tells about itself without its window: the status file
// "vorel.status" in its working directory, key=value lines in UTF-8, kept
// current while it runs and read by "vorel --status".
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "base/clock.h"
#include "station/station_status.h"

namespace vorel {

inline constexpr char kStatusFileName[] = "vorel.status";

// The station's state (station_status.h) and the program's own.
struct ProgramStatus : StationStatus {
  bool running = true;  // false: the program has ended
  std::int64_t pid = 0;
  TDateTime started = 0;
  // Seconds since the file each replay takes next was written, if any.
  std::optional<double> ddmOldestAge;
  std::optional<double> dd8OldestAge;
  // The event loop's longest stall so far (VOREL_STALL_PROBE only).
  std::optional<std::int64_t> longestStallMs;
};

// "2026-12-10T12:00:05", local time; "none" for a value that is no date.
std::string IsoDateTime(TDateTime value);

// One line for the service manager's status (systemctl status): the ports
// with their station links, both links and what waits in the spool.
std::string StatusSummary(const ProgramStatus& status);

// The status file's lines, all but the closing "updated=" line. An ended
// program names no port or link: it holds none.
std::string ComposeStatus(const ProgramStatus& status);

// The same status in Prometheus' text format, for node_exporter's textfile
// collector ("vorel.prom" beside the status file). `now` gives the last
// frames' ages.
std::string ComposeMetrics(const ProgramStatus& status, TDateTime now);

// Seconds since the file was last written, by the file system's clock; none
// without a file.
std::optional<double> SpoolFileAge(const std::optional<std::string>& file);

inline constexpr char kMetricsFileName[] = "vorel.prom";

// Keeps the status file current: the program is looked at no more than once
// a second; the file is written when what it says changed, and every 10 s
// regardless, so that a reader can tell a driver that stopped writing it. The
// text goes to a temporary file first and then takes the file's name, so a
// reader never sees half of it. The metrics file beside it is written with it.
class StatusFile {
 public:
  // report: told once when the file cannot be written, and again only after
  // a write that worked.
  StatusFile(std::filesystem::path file, IClock& clock, std::function<void(const std::string&)> report);

  // Called from a frequent timer; `look` gathers the status when it is due.
  void Tick(const std::function<ProgramStatus()>& look);
  // Writes at once (the end of the program).
  void Write(const ProgramStatus& status);

 private:
  void WriteText(const std::string& body, const ProgramStatus& status);

  std::filesystem::path file_;
  IClock& clock_;
  std::function<void(const std::string&)> report_;
  bool looked_ = false;
  std::uint32_t lastLook_ = 0;
  std::uint32_t lastWrite_ = 0;
  std::string lastBody_;
  bool failing_ = false;
};

}  // namespace vorel
