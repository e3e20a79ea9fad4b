// What the driver tells about itself while it runs, without its window: at
// every tick of the station runtime the status file is kept current (and with
// it the service manager's status line and the journal's lines for links
// established and lost); when the program has ended, the file's last word.
#pragma once

#include <QObject>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "app/link_change_log.h"
#include "app/program_status.h"
#include "app/stall_probe.h"
#include "station/station_runtime.h"

namespace vorel {

class StatusKeeper final : public QObject {
 public:
  // statusChanged: the status in one line, as often as the file is looked
  // at (the service manager's STATUS=); may be empty.
  StatusKeeper(StationRuntime& runtime, std::filesystem::path file,
               std::function<void(const std::string&)> statusChanged);

  // The program has ended (its station closed): the driver's last status,
  // with what waits in the spool for the next run.
  void WriteEnded();

 private:
  // The program as the status file tells it.
  ProgramStatus Look(bool running);

  StationRuntime& runtime_;
  std::function<void(const std::string&)> statusChanged_;
  StatusFile file_;
  LinkChangeLog linkChanges_;
  std::unique_ptr<StallProbe> stallProbe_;  // with VOREL_STALL_PROBE only
};

}  // namespace vorel
