#include "stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace vorel::station {
namespace {

int pipeRead = -1;
int pipeWrite = -1;
volatile sig_atomic_t caught = 0;

void OnStopSignal(int signal) {
  const int saved = errno;
  if (caught == 0) caught = signal;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(pipeWrite, &byte, 1);
  errno = saved;
}

}  // namespace

int InstallStopSignals() {
  if (pipeRead >= 0) return pipeRead;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  pipeRead = fds[0];
  pipeWrite = fds[1];
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return pipeRead;
}

int CaughtStopSignal() {
  char drain[16];
  while (pipeRead >= 0 && ::read(pipeRead, drain, sizeof drain) > 0) {
  }
  return caught;
}

}  // namespace vorel::station
