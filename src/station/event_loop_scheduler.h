// The scheduler of the GUI thread's event loop: each task is a single-shot
// timer whose context is this object, so the tasks go with it. An error that
// escapes a task is reported as any event handler's is.
#pragma once

#include <QObject>

#include "base/scheduler.h"

namespace vorel {

class EventLoopScheduler final : public IScheduler {
 public:
  void After(std::uint32_t milliseconds, std::function<void()> task) override;

 private:
  QObject context_;
};

}  // namespace vorel
