// A listener on loopback whose accept queue is full: the kernel drops every
// further SYN, so a connect to it neither succeeds nor is refused - it runs
// into its time-out, as with a server address that never answers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace vorel::test {

class BlackHoleListener {
 public:
  explicit BlackHoleListener(const std::string& address) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t length = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
        ::listen(listener_, 0) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
      return;
    // Fill the queue with connections nobody accepts.
    for (int i = 0; i < 2; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      fillers_.push_back(fd);
    }
    if (WaitUntil([&] { return QueueFull(); }, std::chrono::seconds(5))) port_ = ntohs(a.sin_port);
  }
  ~BlackHoleListener() {
    for (int fd : fillers_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
  }
  BlackHoleListener(const BlackHoleListener&) = delete;
  BlackHoleListener& operator=(const BlackHoleListener&) = delete;

  // Zero when the listener could not be set up.
  int Port() const { return port_; }

 private:
  // For a listener, the kernel tells the accept queue's length as "unacked"
  // and its limit as "sacked".
  bool QueueFull() const {
    tcp_info info{};
    socklen_t length = sizeof info;
    return ::getsockopt(listener_, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           info.tcpi_unacked > info.tcpi_sacked;
  }

  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

}  // namespace vorel::test
