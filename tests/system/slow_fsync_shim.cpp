// Put in front of the C library with LD_PRELOAD: every fsync and fdatasync
// takes VOREL_SLOW_FSYNC_MS milliseconds more (300 when unset), as on a
// memory card or a network share. Only for the program under test.
#include <dlfcn.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>

namespace {

void SlowDown() {
  static const long ms = [] {
    const char* text = std::getenv("VOREL_SLOW_FSYNC_MS");
    return text ? std::strtol(text, nullptr, 10) : 300L;
  }();
  timespec left{ms / 1000, (ms % 1000) * 1'000'000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

template <class Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
  static const auto next = Next<int (*)(int)>("fsync");
  const int saved = errno;
  SlowDown();
  errno = saved;
  return next(fd);
}

extern "C" int fdatasync(int fd) {
  static const auto next = Next<int (*)(int)>("fdatasync");
  const int saved = errno;
  SlowDown();
  errno = saved;
  return next(fd);
}
