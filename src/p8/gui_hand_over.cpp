#include "p8/gui_hand_over.h"

#include <utility>

namespace vorel {

GuiHandOver::GuiHandOver(GuiPoster post, ILinkHandOver& gui) : post_(std::move(post)), gui_(gui) {}

void GuiHandOver::Post(std::function<void()> op) {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->closed) return;
  }
  // The posted call owns what it needs: it may run after this object is gone,
  // and then finds the hand-over closed.
  post_([shared = shared_, op = std::move(op)] {
    {
      std::lock_guard lock(shared->mutex);
      if (shared->closed) return;
    }
    // Close also runs on the GUI thread, so it cannot come while op runs.
    op();
  });
}

void GuiHandOver::AddLogLine(Severity severity, const std::string& text) {
  Post([this, severity, text] { gui_.AddLogLine(severity, text); });
}

void GuiHandOver::RefreshIndicator() {
  Post([this] { gui_.RefreshIndicator(); });
}

std::array<PortStatus, 2> GuiHandOver::PortStatuses() {
  std::lock_guard lock(shared_->mutex);
  return shared_->ports;
}

void GuiHandOver::SetPortStatuses(const std::array<PortStatus, 2>& ports) {
  std::lock_guard lock(shared_->mutex);
  shared_->ports = ports;
}

void GuiHandOver::Close() {
  std::lock_guard lock(shared_->mutex);
  shared_->closed = true;
}

}  // namespace vorel
