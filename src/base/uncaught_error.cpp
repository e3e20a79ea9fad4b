#include "base/uncaught_error.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace vorel {
namespace {

std::mutex& SinkMutex() {
  static std::mutex m;
  return m;
}

UncaughtErrorSink& Sink() {
  static UncaughtErrorSink sink;
  return sink;
}

}  // namespace

UncaughtErrorSink SetUncaughtErrorSink(UncaughtErrorSink sink) {
  std::lock_guard lock(SinkMutex());
  return std::exchange(Sink(), std::move(sink));
}

void ReportUncaughtError(const std::string& message) {
  UncaughtErrorSink sink;
  {
    std::lock_guard lock(SinkMutex());
    sink = Sink();
  }
  if (sink) {
    sink(message);
  } else {
    std::fprintf(stderr, "vorel: %s\n", message.c_str());
  }
}

void ReportCurrentException() {
  try {
    throw;
  } catch (const std::exception& e) {
    ReportUncaughtError(e.what());
  } catch (...) {
    ReportUncaughtError("Unknown error");
  }
}

}  // namespace vorel
