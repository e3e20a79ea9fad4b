// Errors are exceptions. One that escapes an event handler (a timer tick, a
// serial packet, a socket event, an operator action) must not end the program:
// it is reported here, in one place, and the program goes on with the next
// event. The application installs the sink that shows the error to the
// operator; tests install one that records.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace vorel {

using UncaughtErrorSink = std::function<void(const std::string& message)>;

// Installs the sink and returns the one it replaces. With no sink installed the
// message goes to standard error.
UncaughtErrorSink SetUncaughtErrorSink(UncaughtErrorSink sink);

void ReportUncaughtError(const std::string& message);

// Reports whatever is in flight; call from a catch block.
void ReportCurrentException();

// Runs an event handler, reporting any error that escapes it.
template <class F>
void RunGuarded(F&& handler) noexcept {
  try {
    handler();
  } catch (...) {
    ReportCurrentException();
  }
}

}  // namespace vorel
