// vorel_wan_relay: a wide-area link between two network namespaces, for the
// tests and for trying the driver by hand. A TUN device in each namespace
// (a point-to-point IPv4 link), and this process between them: every packet
// held for the one-way delay, a share dropped at random (seeded, so a run can
// be repeated), everything dropped while a cut is on. Both ends run the
// kernel's own TCP, as across a real network. Commands on standard input
// change the link while it runs (relay_command.h); it ends on SIGTERM, SIGINT
// or the end of its input, and its devices go with it.
//
//   ip netns add a; ip netns add b
//   vorel_wan_relay --netns-a a --netns-b b --delay 10 --loss 2
//   ip netns exec b vorel_p7_server 169.254.77.2 7788
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "delay_line.h"
#include "relay_command.h"
#include "tun_device.h"

namespace vorel::wan {
namespace {

constexpr const char* kUsage =
    "usage: vorel_wan_relay --netns-a NAME --netns-b NAME [--address-a IP] [--address-b IP]\n"
    "                       [--device NAME] [--delay MS] [--loss PERCENT] [--seed N] [-o FILE]\n"
    "  A TUN device NAME (default wan0) in each namespace, ADDRESS-A (default 169.254.77.1)\n"
    "  in the first and ADDRESS-B (default 169.254.77.2) in the second, joined by this\n"
    "  process: each packet held DELAY ms one way, PERCENT of them dropped (seeded by N).\n"
    "  Commands on standard input: delay MS, loss PERCENT, cut, restore, stats.\n";

struct Options {
  TunEnd a{"", "wan0", "169.254.77.1", "169.254.77.2"};
  TunEnd b{"", "wan0", "169.254.77.2", "169.254.77.1"};
  double delayMs = 0;
  double lossPercent = 0;
  unsigned long seed = 1;
  std::string output;
};

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) {
      error = flag + " needs a value";
      return false;
    }
    const std::string value = argv[++i];
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    const bool isNumber = end != value.c_str() && *end == '\0';
    if (flag == "--netns-a") {
      o.a.netns = value;
    } else if (flag == "--netns-b") {
      o.b.netns = value;
    } else if (flag == "--address-a") {
      o.a.address = o.b.peer = value;
    } else if (flag == "--address-b") {
      o.b.address = o.a.peer = value;
    } else if (flag == "--device") {
      o.a.device = o.b.device = value;
    } else if (flag == "--delay" && isNumber && number >= 0 && number <= 60000) {
      o.delayMs = number;
    } else if (flag == "--loss" && isNumber && number >= 0 && number <= 100) {
      o.lossPercent = number;
    } else if (flag == "--seed" && isNumber && number >= 0) {
      o.seed = static_cast<unsigned long>(number);
    } else if (flag == "-o") {
      o.output = value;
    } else {
      error = "bad option: " + flag + " " + value;
      return false;
    }
  }
  if (o.a.netns.empty() || o.b.netns.empty()) error = "both --netns-a and --netns-b are needed";
  if (o.a.device.empty() || o.a.device.size() > 15) error = "a device name has 1 to 15 characters";
  return error.empty();
}

class Relay {
 public:
  Relay(const Options& o, FILE* out)
      : out_(out), ab_(static_cast<std::uint32_t>(o.seed)), ba_(static_cast<std::uint32_t>(o.seed * 2 + 1)) {
    Apply({RelayCommand::Kind::Delay, o.delayMs}, false);
    Apply({RelayCommand::Kind::Loss, o.lossPercent}, false);
  }

  // Until a stop signal or the end of standard input; false on a failure.
  bool Run(int tunA, int tunB, int stopFd) {
    pollfd fds[4] = {{tunA, POLLIN, 0}, {tunB, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
      const auto next = std::min(ab_.NextDue(), ba_.NextDue());
      const Clock::time_point now = Clock::now();
      timespec wait{};
      const timespec* timeout = nullptr;
      if (next != Clock::time_point::max()) {
        const auto ns = std::max<long long>(0, std::chrono::nanoseconds(next - now).count());
        wait.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        wait.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        timeout = &wait;
      }
      if (::ppoll(fds, 4, timeout, nullptr) < 0 && errno != EINTR) return Fail("poll");
      if (fds[3].revents) return true;
      if (fds[0].revents & POLLIN) Take(tunA, ab_);
      if (fds[1].revents & POLLIN) Take(tunB, ba_);
      if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLHUP | POLLNVAL)) return Fail("device gone");
      if (fds[2].revents && !ReadCommands()) return true;
      const Clock::time_point after = Clock::now();
      Hand(ab_, tunB, after);
      Hand(ba_, tunA, after);
    }
  }

  void Summary(const char* word) {
    const LineCounts& x = ab_.Counts();
    const LineCounts& y = ba_.Counts();
    std::fprintf(out_, "%s a-to-b=%llu b-to-a=%llu lost=%llu cut=%llu overflow=%llu\n", word,
                 static_cast<unsigned long long>(x.delivered), static_cast<unsigned long long>(y.delivered),
                 static_cast<unsigned long long>(x.lost + y.lost), static_cast<unsigned long long>(x.cut + y.cut),
                 static_cast<unsigned long long>(x.overflow + y.overflow));
    std::fflush(out_);
  }

 private:
  bool Fail(const char* what) {
    std::fprintf(stderr, "vorel_wan_relay: %s: %s\n", what, std::strerror(errno));
    return false;
  }

  // Everything the device has now, each packet stamped with this moment.
  static void Take(int tun, DelayLine& line) {
    std::uint8_t buffer[65536];
    for (int i = 0; i < 256; ++i) {
      const ssize_t n = ::read(tun, buffer, sizeof buffer);
      if (n <= 0) return;
      line.Offer(Packet(buffer, buffer + n), Clock::now());
    }
  }
  static void Hand(DelayLine& line, int tun, Clock::time_point now) {
    // The other end's kernel takes the packet as received; a packet it
    // cannot take is lost, as on a wire.
    for (const Packet& packet : line.TakeDue(now)) (void)!::write(tun, packet.data(), packet.size());
  }

  // False at the end of the input: whoever drives the relay has gone.
  bool ReadCommands() {
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) return n < 0 && errno == EINTR;
    pending_.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      const std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      std::string error;
      if (const auto command = ParseRelayCommand(line, error)) {
        Apply(*command, true);
      } else {
        std::fprintf(out_, "error %s\n", error.c_str());
        std::fflush(out_);
      }
    }
    return true;
  }

  void Apply(const RelayCommand& c, bool report) {
    switch (c.kind) {
      case RelayCommand::Kind::Delay: {
        const auto delay = std::chrono::microseconds(static_cast<long long>(c.value * 1000));
        ab_.SetDelay(delay);
        ba_.SetDelay(delay);
        if (report) std::fprintf(out_, "delay ms=%g\n", c.value);
        break;
      }
      case RelayCommand::Kind::Loss:
        ab_.SetLoss(c.value / 100);
        ba_.SetLoss(c.value / 100);
        if (report) std::fprintf(out_, "loss percent=%g\n", c.value);
        break;
      case RelayCommand::Kind::Cut:
      case RelayCommand::Kind::Restore:
        ab_.SetCut(c.kind == RelayCommand::Kind::Cut);
        ba_.SetCut(c.kind == RelayCommand::Kind::Cut);
        if (report) std::fprintf(out_, "cut %s\n", ab_.Cut() ? "on" : "off");
        break;
      case RelayCommand::Kind::Stats:
        Summary("stats");
        break;
    }
    std::fflush(out_);
  }

  FILE* out_;
  DelayLine ab_;
  DelayLine ba_;
  std::string pending_;
};

int Main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Options o;
  std::string error;
  if (!ParseOptions(argc, argv, o, error)) {
    std::fprintf(stderr, "vorel_wan_relay: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  FILE* out = o.output.empty() ? stdout : std::fopen(o.output.c_str(), "a");
  if (out == nullptr) {
    std::fprintf(stderr, "vorel_wan_relay: %s: %s\n", o.output.c_str(), std::strerror(errno));
    return 1;
  }
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  const int stopFd = ::signalfd(-1, &stops, SFD_CLOEXEC);
  const int tunA = OpenTunEnd(o.a, error);
  const int tunB = tunA < 0 ? -1 : OpenTunEnd(o.b, error);
  if (stopFd < 0 || tunA < 0 || tunB < 0) {
    std::fprintf(stderr, "vorel_wan_relay: %s\n", stopFd < 0 ? "signalfd failed" : error.c_str());
    return 1;
  }
  Relay relay(o, out);
  std::fprintf(out, "ready device=%s a=%s b=%s delay-ms=%g loss-percent=%g seed=%lu\n", o.a.device.c_str(),
               o.a.address.c_str(), o.b.address.c_str(), o.delayMs, o.lossPercent, o.seed);
  std::fflush(out);
  const bool ok = relay.Run(tunA, tunB, stopFd);
  relay.Summary("summary");
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace vorel::wan

int main(int argc, char** argv) { return vorel::wan::Main(argc, argv); }
