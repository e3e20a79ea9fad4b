#include "app/status_keeper.h"

#include <QCoreApplication>

#include <utility>

#include "app/operator_log.h"
#include "base/uncaught_error.h"

namespace vorel {

StatusKeeper::StatusKeeper(StationRuntime& runtime, std::filesystem::path file,
                           std::function<void(const std::string&)> statusChanged)
    : runtime_(runtime),
      statusChanged_(std::move(statusChanged)),
      file_(std::move(file), runtime.Clock(), [](const std::string& problem) {
        WriteToStderr(Severity::Error, "vorel: " + problem + "\n");
      }) {
  if (!qEnvironmentVariableIsEmpty("VOREL_STALL_PROBE")) stallProbe_ = std::make_unique<StallProbe>(this);
  connect(&runtime_, &StationRuntime::ticked, this, [this] {
    RunGuarded([this] {
      file_.Tick([this] {
        const ProgramStatus status = Look(true);
        if (statusChanged_) statusChanged_(StatusSummary(status));
        for (const auto& [severity, line] : linkChanges_.Look(status)) WriteToStderr(severity, line);
        return status;
      });
    });
  });
}

void StatusKeeper::WriteEnded() {
  try {
    file_.Write(Look(false));
  } catch (...) {
    // the end goes on
  }
}

ProgramStatus StatusKeeper::Look(bool running) {
  ProgramStatus s;
  // The last status of a run reads the spool directory itself.
  if (!running) runtime_.Core().ReadSpoolDirectory();
  static_cast<StationStatus&>(s) = runtime_.Core().Status();
  s.running = running;
  s.pid = QCoreApplication::applicationPid();
  s.started = runtime_.StartedAt();
  s.ddmOldestAge = SpoolFileAge(s.ddmNext);
  s.dd8OldestAge = SpoolFileAge(s.dd8Next);
  if (stallProbe_) s.longestStallMs = stallProbe_->LongestMs();
  return s;
}

}  // namespace vorel
