#include "tun_device.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorel::wan {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::string Failed(const std::string& what) { return what + ": " + std::strerror(errno); }

bool SetAddress(int socket, const std::string& device, unsigned long request, const std::string& text,
                std::string& error) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, device.c_str(), IFNAMSIZ - 1);
  auto* address = reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr);
  address->sin_family = AF_INET;
  if (::inet_pton(AF_INET, text.c_str(), &address->sin_addr) != 1) {
    error = "not an IPv4 address: " + text;
    return false;
  }
  if (::ioctl(socket, request, &ifr) != 0) {
    error = Failed("address " + text + " on " + device);
    return false;
  }
  return true;
}

bool SetUp(int socket, const std::string& device, std::string& error) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, device.c_str(), IFNAMSIZ - 1);
  if (::ioctl(socket, SIOCGIFFLAGS, &ifr) != 0) {
    error = Failed("flags of " + device);
    return false;
  }
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  if (::ioctl(socket, SIOCSIFFLAGS, &ifr) != 0) {
    error = Failed("bringing up " + device);
    return false;
  }
  return true;
}

// Inside the namespace: the device and its configuration.
int OpenHere(const TunEnd& end, std::string& error) {
  Fd tun(::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (tun.Get() < 0) {
    error = Failed("/dev/net/tun");
    return -1;
  }
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(ifr.ifr_name, end.device.c_str(), IFNAMSIZ - 1);
  if (::ioctl(tun.Get(), TUNSETIFF, &ifr) != 0) {
    error = Failed("TUNSETIFF " + end.device);
    return -1;
  }
  // The configuration socket must be made in the namespace, as the device was.
  Fd config(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (config.Get() < 0) {
    error = Failed("socket");
    return -1;
  }
  if (!SetAddress(config.Get(), end.device, SIOCSIFADDR, end.address, error) ||
      !SetAddress(config.Get(), end.device, SIOCSIFDSTADDR, end.peer, error) ||
      !SetAddress(config.Get(), end.device, SIOCSIFNETMASK, "255.255.255.255", error) ||
      !SetUp(config.Get(), end.device, error) || !SetUp(config.Get(), "lo", error))
    return -1;
  return tun.Release();
}

}  // namespace

int OpenTunEnd(const TunEnd& end, std::string& error) {
  const std::string path = end.netns.find('/') == std::string::npos ? "/run/netns/" + end.netns : end.netns;
  Fd own(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
  Fd target(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (own.Get() < 0 || target.Get() < 0) {
    error = Failed(own.Get() < 0 ? std::string("own network namespace") : path);
    return -1;
  }
  if (::setns(target.Get(), CLONE_NEWNET) != 0) {
    error = Failed("entering " + path);
    return -1;
  }
  const int fd = OpenHere(end, error);
  if (::setns(own.Get(), CLONE_NEWNET) != 0) {
    // Nothing else may run in the wrong namespace.
    error = Failed("returning from " + path);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace vorel::wan
