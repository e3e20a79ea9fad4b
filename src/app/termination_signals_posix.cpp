#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "app/termination_signals.h"

namespace vorel {
namespace {

int g_pipe[2] = {-1, -1};

void OnSignal(int signalNumber) {
  const int saved = errno;
  const char byte = static_cast<char>(signalNumber);
  [[maybe_unused]] const ssize_t n = write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    char buffer[16];
    int signalNumber = SIGTERM;
    for (ssize_t n; (n = read(g_pipe[0], buffer, sizeof buffer)) > 0;) signalNumber = buffer[n - 1];
    emit terminationRequested(signalNumber);
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  notifier_.reset();
  for (int& fd : g_pipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

}  // namespace vorel
