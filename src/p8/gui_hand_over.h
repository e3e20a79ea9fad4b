// The hand-over from the link thread to the GUI thread. The link thread posts
// each operation to the GUI thread's event loop and goes on at once: it never
// waits for the window, whatever the window is doing (a modal dialog, a slow
// disk, the close). The port statuses it needs for a handshake are a snapshot
// that the GUI thread pushes whenever they change. Close (GUI thread, at
// shutdown, before the link object is destroyed) turns every call still
// waiting in the event loop, and every later one, into a no-op.
#pragma once

#include <array>
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

  void AddLogLine(Severity severity, const std::string& text) override;
  void RefreshIndicator() override;
  // The last snapshot pushed; two closed ports without names before the first.
  std::array<PortStatus, 2> PortStatuses() override;

  // GUI thread only: the ports as they are now, for the handshakes to come.
  void SetPortStatuses(const std::array<PortStatus, 2>& ports);
  // GUI thread only.
  void Close();

 private:
  struct Shared {
    std::mutex mutex;
    bool closed = false;
    std::array<PortStatus, 2> ports;
  };
  // Queues op to run on the GUI thread, unless the hand-over is closed by then.
  void Post(std::function<void()> op);

  GuiPoster post_;
  ILinkHandOver& gui_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace vorel
