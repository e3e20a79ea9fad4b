#include "station_line.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "flock_probe.h"

namespace vorel::station {
namespace {

std::string SystemText(int err) { return std::system_category().message(err); }

std::string LinkTarget(const std::string& link) {
  std::error_code ec;
  const auto target = std::filesystem::read_symlink(link, ec);
  return ec ? std::string() : target.string();
}

// rename() over the old entry, so that the name never goes missing while a
// driver looks it up.
bool Publish(const std::string& target, const std::string& link, std::string& error) {
  const std::filesystem::path linkPath(link);
  std::error_code ec;
  if (linkPath.has_parent_path()) std::filesystem::create_directories(linkPath.parent_path(), ec);
  if (ec) {
    error = "cannot make the directory of " + link + ": " + ec.message();
    return false;
  }
  const std::string temporary = link + ".tmp." + std::to_string(getpid());
  ::unlink(temporary.c_str());
  if (::symlink(target.c_str(), temporary.c_str()) != 0) {
    error = "cannot make the link " + temporary + ": " + SystemText(errno);
    return false;
  }
  if (::rename(temporary.c_str(), link.c_str()) != 0) {
    const int err = errno;
    ::unlink(temporary.c_str());
    error = "cannot publish " + link + ": " + SystemText(err);
    return false;
  }
  return true;
}

}  // namespace

StationLine::~StationLine() { Close(); }

bool StationLine::Open(const std::string& link, std::string& error) {
  Close();
  const auto fail = [&](const std::string& what, int err) {
    error = what + ": " + SystemText(err);
    Close();
    return false;
  };
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return fail("cannot make a pseudo-terminal", errno);
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) return fail("cannot unlock the pseudo-terminal", errno);
  char name[128] = {};
  if (const int err = ptsname_r(master_, name, sizeof name); err != 0) return fail("cannot name the pseudo-terminal", err);
  slavePath_ = name;

  // Raw on the slave, where the line discipline sits: bytes pass unchanged
  // both ways and nothing is echoed back to the station before the driver
  // sets its own line settings. No lock and no exclusive flag: the driver
  // takes both when it opens the port.
  slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ < 0) return fail("cannot open " + slavePath_, errno);
  termios t{};
  if (tcgetattr(slave_, &t) != 0) return fail("cannot read the line settings of " + slavePath_, errno);
  cfmakeraw(&t);
  if (tcsetattr(slave_, TCSANOW, &t) != 0) return fail("cannot set " + slavePath_ + " raw", errno);

  const int flags = fcntl(master_, F_GETFL);
  if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) return fail("cannot make the master non-blocking", errno);

  if (!link.empty()) {
    if (!Publish(slavePath_, link, error)) {
      Close();
      return false;
    }
    link_ = link;
  }
  return true;
}

void StationLine::Close() {
  if (!link_.empty() && LinkTarget(link_) == slavePath_) ::unlink(link_.c_str());
  link_.clear();
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  master_ = -1;
  slave_ = -1;
  slavePath_.clear();
}

std::optional<bool> StationLine::HeldExclusively() const {
  if (slave_ < 0) return std::nullopt;
  // The driver locks the terminal with flock; it marks a real serial device
  // exclusive as well, a pseudo-terminal not (the mark would outlive a
  // killed driver).
  const std::optional<bool> locked = FlockHeld(slave_);
  if (locked.value_or(false)) return true;
#ifdef TIOCGEXCL
  int exclusive = 0;
  if (ioctl(slave_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) return true;
#endif
  return locked;
}

}  // namespace vorel::station
