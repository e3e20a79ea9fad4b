// The synchronous hand-over from the link thread to the GUI thread. The link
// thread posts an operation to the GUI thread's event loop and waits until
// it has run there. Close (GUI thread, at shutdown, before the link object
// is destroyed) releases a waiting link thread at once and turns every later
// call into a no-op, so the GUI thread may then wait for the link thread to
// end without either waiting on the other.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "p8/link_hand_over.h"

namespace vorel {

// Queues a call to run later on the GUI thread (with Qt:
// QMetaObject::invokeMethod(window, std::move(call), Qt::QueuedConnection)).
using GuiPoster = std::function<void(std::function<void()>)>;

class GuiHandOver final : public ILinkHandOver {
 public:
  // `gui` holds the window's own implementations, which run on the GUI
  // thread only; it must stay alive until Close has been called.
  GuiHandOver(GuiPoster post, ILinkHandOver& gui);
  ~GuiHandOver() override { Close(); }
  GuiHandOver(const GuiHandOver&) = delete;
  GuiHandOver& operator=(const GuiHandOver&) = delete;

  void AddLogLine(const std::string& text) override;
  void RefreshIndicator() override;
  // After Close: two closed ports without names.
  std::array<PortStatus, 2> PortStatuses() override;

  // GUI thread only.
  void Close();

 private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    bool closed = false;
  };
  // Runs op on the GUI thread and waits for it; false when closed first.
  bool Run(std::function<void()> op);

  GuiPoster post_;
  ILinkHandOver& gui_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace vorel
