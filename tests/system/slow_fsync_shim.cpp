// Put in front of the C library with LD_PRELOAD: every fsync and fdatasync
// takes VOREL_SLOW_FSYNC_MS milliseconds more (300 when unset), and every
// read of a regular file VOREL_SLOW_READ_MS more (none when unset), as on a
// memory card or a network share. With VOREL_SLOW_READ_PATH only the files
// whose path starts with it are slow to read (the spool, not the fonts).
// Only for the program under test.
#include <dlfcn.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long Milliseconds(const char* name, long unset) {
  const char* text = std::getenv(name);
  return text ? std::strtol(text, nullptr, 10) : unset;
}

void Sleep(long ms) {
  timespec left{ms / 1000, (ms % 1000) * 1'000'000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void SlowDown() {
  static const long ms = Milliseconds("VOREL_SLOW_FSYNC_MS", 300);
  Sleep(ms);
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

namespace {

// Sockets, the serial line and pipes are read at full speed: only a file on
// the disk is slow, and with a path given only one under it.
bool SlowToRead(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  static const char* const under = std::getenv("VOREL_SLOW_READ_PATH");
  if (!under || !*under) return true;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char path[4096];
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = '\0';
  return std::strncmp(path, under, std::strlen(under)) == 0;
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
  static const auto next = Next<ssize_t (*)(int, void*, size_t)>("read");
  static const long ms = Milliseconds("VOREL_SLOW_READ_MS", 0);
  if (ms > 0) {
    const int saved = errno;
    if (SlowToRead(fd)) Sleep(ms);
    errno = saved;
  }
  return next(fd, buffer, count);
}
