#include "p8/gui_hand_over.h"

#include <utility>

namespace vorel {

GuiHandOver::GuiHandOver(GuiPoster post, ILinkHandOver& gui) : post_(std::move(post)), gui_(gui) {}

bool GuiHandOver::Run(std::function<void()> op) {
  struct Call {
    bool finished = false;
  };
  auto call = std::make_shared<Call>();
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->closed) return false;
  }
  // The posted call owns what it needs: after Close it may still be run by
  // the event loop, long after this function has returned.
  post_([shared = shared_, call, op = std::move(op)] {
    {
      std::lock_guard lock(shared->mutex);
      if (shared->closed) return;
    }
    // Close also runs on the GUI thread, so it cannot come while op runs,
    // and the link thread is still waiting for it.
    op();
    std::lock_guard lock(shared->mutex);
    call->finished = true;
    shared->done.notify_all();
  });
  std::unique_lock lock(shared_->mutex);
  shared_->done.wait(lock, [&] { return call->finished || shared_->closed; });
  return call->finished;
}

void GuiHandOver::AddLogLine(const std::string& text) {
  Run([this, text] { gui_.AddLogLine(text); });
}

void GuiHandOver::RefreshIndicator() {
  Run([this] { gui_.RefreshIndicator(); });
}

std::array<PortStatus, 2> GuiHandOver::PortStatuses() {
  // Written on the GUI thread while this thread waits; read after the wait.
  auto result = std::make_shared<std::array<PortStatus, 2>>();
  if (!Run([this, result] { *result = gui_.PortStatuses(); })) return {};
  return *result;
}

void GuiHandOver::Close() {
  std::lock_guard lock(shared_->mutex);
  shared_->closed = true;
  shared_->done.notify_all();
}

}  // namespace vorel
