#include "server_loop.h"

namespace vorel::tools {

ServerBase::~ServerBase() {
  if (listenFd_ >= 0) ::close(listenFd_);
}

int ServerBase::Start() {
  out_.Open(options_.outputPath);
  const int stopFd = InstallStopSignals();
  std::string bound;
  listenFd_ = ListenTcp(options_.host, options_.port, bound, options_.receiveBuffer);
  start_ = MonotonicMs();
  out_.Line("listening " + bound);
  return stopFd;
}

void ServerBase::StopListening() {
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
}

void ServerBase::ReadStdin() {
  char bytes[1024];
  const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
  if (n <= 0) {  // end of input: go on serving, without commands
    options_.readStdin = false;
    return;
  }
  stdinText_.append(bytes, static_cast<std::size_t>(n));
  for (std::size_t end; (end = stdinText_.find('\n')) != std::string::npos;) {
    const std::string line = stdinText_.substr(0, end);
    stdinText_.erase(0, end + 1);
    Command(line);
  }
}

}  // namespace vorel::tools
