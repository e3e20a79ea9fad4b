#include "sim_runner.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "line_pace.h"
#include "stop_signals.h"

namespace vorel::station {
namespace {

using std::chrono::milliseconds;

// The driver empties the line's queues right after it takes the port; bytes
// sent before that are lost. Waiting this long after its open is seen keeps
// `wait-open; event ...` from racing the purge.
constexpr milliseconds kDriverSettle{100};
// How often the driver's hold on the line is looked at (its own poll period).
constexpr milliseconds kDriverCheckPeriod{5};
// A write that makes no progress this long means nobody reads the line.
constexpr milliseconds kWriteStall{5000};

std::string Ms(milliseconds ms) { return std::to_string(ms.count()); }

}  // namespace

StationSimulator::StationSimulator(SimSettings settings, Report& report)
    : settings_(std::move(settings)), report_(report) {}

int StationSimulator::Run(const std::vector<SimStep>& steps) {
  Outcome outcome = OpenLine();
  for (std::size_t i = 0; outcome == Outcome::Done && i < steps.size(); ++i) {
    outcome = steps[i].command ? Execute(*steps[i].command) : Interactive();
  }
  if (outcome == Outcome::Stopped && stopSignal_ != 0) report_.Line("stop signal=" + std::to_string(stopSignal_));
  line_.Close();
  report_.Line("summary sent=" + std::to_string(sentWrites_) + " acks=" + std::to_string(tally_.Acks()) +
               " other=" + std::to_string(tally_.Other()) + " sent_bytes=" + std::to_string(sentBytes_));
  const int clean = badTypedCommands_ > 0 ? kExitUsage : kExitOk;
  switch (outcome) {
    case Outcome::Done: return clean;
    case Outcome::Failed: return kExitExpectationFailed;
    case Outcome::SystemError: return kExitSystemError;
    case Outcome::Stopped:
      if (stopSignal_ == 0) return kExitSystemError;  // the poll itself failed
      return idle_ ? clean : 128 + stopSignal_;
  }
  return kExitSystemError;
}

StationSimulator::Outcome StationSimulator::OpenLine() {
  std::string error;
  if (!line_.Open(settings_.link, error)) {
    report_.Line("error open reason=system");
    std::fprintf(stderr, "vorel_station_sim: %s\n", error.c_str());
    return Outcome::SystemError;
  }
  hungUp_ = false;
  driverHeld_ = false;
  std::string text = "open path=" + line_.SlavePath();
  if (!line_.Link().empty()) text += " link=" + line_.Link();
  report_.Line(text);
  return Outcome::Done;
}

StationSimulator::Outcome StationSimulator::Fail(const std::string& reportLine, const std::string& message) {
  report_.Line(reportLine);
  std::fprintf(stderr, "vorel_station_sim: %s\n", message.c_str());
  return Outcome::Failed;
}

StationSimulator::Outcome StationSimulator::Execute(const Command& command) {
  const auto never = [] { return false; };
  switch (command.kind) {
    case CommandKind::Send:
      return Send(command);
    case CommandKind::Wait:
      return Pump(Clock::now() + command.duration, never, Watch{}) == PumpEnd::Stopped ? Outcome::Stopped : Outcome::Done;
    case CommandKind::ExpectAck: {
      const long want = command.relative ? tally_.Acks() + command.count : command.count;
      const PumpEnd end = Pump(Clock::now() + command.duration, [&] { return tally_.Acks() >= want; }, Watch{});
      if (end == PumpEnd::Stopped) return Outcome::Stopped;
      const std::string counts = "total=" + std::to_string(tally_.Acks()) + " want=" + std::to_string(want);
      if (end == PumpEnd::Condition) {
        report_.Line("expect-ack ok " + counts);
        return Outcome::Done;
      }
      return Fail("expect-ack fail " + counts + " timeout_ms=" + Ms(command.duration),
                  "expected " + std::to_string(want) + " ACKs in all, got " + std::to_string(tally_.Acks()) +
                      " within " + Ms(command.duration) + " ms");
    }
    case CommandKind::ExpectNoAck: {
      const long before = tally_.Acks();
      const PumpEnd end = Pump(Clock::now() + command.duration, [&] { return tally_.Acks() > before; }, Watch{});
      if (end == PumpEnd::Stopped) return Outcome::Stopped;
      if (end == PumpEnd::Deadline) {
        report_.Line("expect-no-ack ok ms=" + Ms(command.duration));
        return Outcome::Done;
      }
      return Fail("expect-no-ack fail total=" + std::to_string(tally_.Acks()),
                  "an ACK came within " + Ms(command.duration) + " ms where none was expected");
    }
    case CommandKind::WaitOpen:
      return WaitForDriver(command, true);
    case CommandKind::WaitClose:
      return WaitForDriver(command, false);
    case CommandKind::Close:
      line_.Close();
      driverHeld_ = false;
      report_.Line("close");
      return Outcome::Done;
    case CommandKind::Reopen:
      line_.Close();
      return OpenLine();
    case CommandKind::Hold: {
      report_.Line("hold");
      idle_ = true;
      Pump(Clock::time_point::max(), never, Watch{});
      return Outcome::Stopped;
    }
  }
  return Outcome::SystemError;
}

StationSimulator::Outcome StationSimulator::Send(const Command& command) {
  for (std::size_t i = 0; i < command.frames.size(); ++i) {
    if (i > 0 && command.interval.count() > 0 &&
        Pump(Clock::now() + command.interval, [] { return false; }, Watch{}) == PumpEnd::Stopped) {
      return Outcome::Stopped;
    }
    const Outgoing& frame = command.frames[i];
    const long acked = tally_.Acks();
    for (const char* verb = "sent ";; verb = "resent ") {
      if (const Outcome o = WriteAll(frame.bytes, frame.description); o != Outcome::Done) return o;
      ++sentWrites_;
      sentBytes_ += static_cast<long>(frame.bytes.size());
      report_.Line(verb + frame.description + " bytes=" + std::to_string(frame.bytes.size()));
      if (command.resend.count() == 0) break;
      // As a real station: the next event only after this one's ACK.
      const PumpEnd end = Pump(Clock::now() + command.resend, [&] { return tally_.Acks() > acked; }, Watch{});
      if (end == PumpEnd::Stopped) return Outcome::Stopped;
      if (end == PumpEnd::Condition) break;
    }
  }
  return Outcome::Done;
}

StationSimulator::Outcome StationSimulator::WriteAll(const Bytes& bytes, const std::string& description) {
  const std::string what = description.substr(0, description.find(' '));
  if (!line_.IsOpen()) {
    return Fail("fail send " + what + " reason=line-closed", "cannot send " + what + ": the line is closed");
  }
  const auto start = Clock::now();
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t due = BytesDue(Clock::now() - start, settings_.baud, bytes.size());
    if (due == done) {
      // The line is still busy with the byte before; what comes back is
      // counted meanwhile.
      const auto next = start + std::chrono::duration_cast<Clock::duration>(ByteTime(settings_.baud) * static_cast<long long>(done + 1));
      if (Pump(next, [] { return false; }, Watch{}) == PumpEnd::Stopped) return Outcome::Stopped;
      continue;
    }
    const ssize_t n = ::write(line_.MasterFd(), bytes.data() + done, due - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      const int err = errno;
      return Fail("fail send " + what + " reason=write-error written=" + std::to_string(done),
                  "cannot send " + what + ": " + std::strerror(err));
    }
    // The driver's input queue is full: go on reading until there is room.
    writable_ = false;
    const PumpEnd end = Pump(Clock::now() + kWriteStall, [this] { return writable_; }, Watch{.writable = true});
    if (end == PumpEnd::Stopped) return Outcome::Stopped;
    if (end == PumpEnd::Deadline) {
      return Fail("fail send " + what + " reason=stalled written=" + std::to_string(done) +
                      " of=" + std::to_string(bytes.size()),
                  "cannot send " + what + ": nobody reads the line");
    }
  }
  return Outcome::Done;
}

StationSimulator::Outcome StationSimulator::WaitForDriver(const Command& command, bool open) {
  const char* name = open ? "wait-open" : "wait-close";
  if (!line_.IsOpen()) {
    return Fail(std::string(name) + " fail reason=line-closed", std::string(name) + ": the line is closed");
  }
  if (!line_.HeldExclusively()) {
    return Fail(std::string(name) + " fail reason=unsupported",
                std::string(name) + ": this system cannot tell whether the driver holds the line");
  }
  const auto done = [&] {
    if (!open) return !driverHeld_;
    return driverHeld_ && Clock::now() - driverSince_ >= kDriverSettle;
  };
  const PumpEnd end = Pump(Clock::now() + command.duration, done, Watch{});
  if (end == PumpEnd::Stopped) return Outcome::Stopped;
  if (end == PumpEnd::Condition) {
    report_.Line(std::string(name) + " ok");
    return Outcome::Done;
  }
  return Fail(std::string(name) + " fail timeout_ms=" + Ms(command.duration),
              std::string("the driver did not ") + (open ? "open" : "close") + " the line within " +
                  Ms(command.duration) + " ms");
}

StationSimulator::Outcome StationSimulator::Interactive() {
  for (;;) {
    idle_ = true;
    const PumpEnd end = Pump(
        Clock::time_point::max(), [this] { return inputEof_ || input_.find('\n') != std::string::npos; },
        Watch{.input = true});
    if (end == PumpEnd::Stopped) return Outcome::Stopped;
    idle_ = false;
    const std::size_t newline = input_.find('\n');
    if (newline == std::string::npos && input_.empty()) return Outcome::Done;  // end of input
    const std::size_t take = newline == std::string::npos ? input_.size() : newline + 1;
    const std::string text = input_.substr(0, take);
    input_.erase(0, take);
    for (const std::string& piece : SplitCommands(text)) {
      const ParsedCommand parsed = ParseCommand(piece);
      if (!parsed.command) {
        if (!parsed.error.empty()) {
          ++badTypedCommands_;
          std::fprintf(stderr, "vorel_station_sim: %s: %s\n", piece.c_str(), parsed.error.c_str());
        }
        continue;
      }
      if (const Outcome o = Execute(*parsed.command); o != Outcome::Done) return o;
    }
  }
}

StationSimulator::PumpEnd StationSimulator::Pump(Clock::time_point deadline, const std::function<bool()>& done,
                                                 Watch watch) {
  for (;;) {
    CheckDriver();
    if (done()) return PumpEnd::Condition;
    if (stopSignal_ == 0) stopSignal_ = CaughtStopSignal();
    if (stopSignal_ != 0) return PumpEnd::Stopped;
    const auto now = Clock::now();
    if (now >= deadline) return PumpEnd::Deadline;

    int timeout = -1;
    if (deadline != Clock::time_point::max()) {
      timeout = static_cast<int>(std::min<long long>(
          std::chrono::ceil<milliseconds>(deadline - now).count(), 60'000));
    }
    if (line_.IsOpen()) timeout = timeout < 0 ? kDriverCheckPeriod.count() : std::min<int>(timeout, kDriverCheckPeriod.count());

    pollfd fds[3];
    nfds_t count = 0;
    int lineAt = -1;
    int inputAt = -1;
    if (settings_.stopFd >= 0) fds[count++] = {settings_.stopFd, POLLIN, 0};
    if (line_.IsOpen() && !hungUp_) {
      lineAt = static_cast<int>(count);
      fds[count++] = {line_.MasterFd(), static_cast<short>(POLLIN | (watch.writable ? POLLOUT : 0)), 0};
    }
    if (watch.input && !inputEof_) {
      inputAt = static_cast<int>(count);
      fds[count++] = {settings_.inputFd, POLLIN, 0};
    }
    if (::poll(fds, count, timeout) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "vorel_station_sim: poll: %s\n", std::strerror(errno));
      return PumpEnd::Stopped;
    }
    if (lineAt >= 0 && (fds[lineAt].revents & (POLLIN | POLLHUP | POLLERR)) != 0) ReadLine();
    if (lineAt >= 0 && (fds[lineAt].revents & POLLOUT) != 0) writable_ = true;
    if (inputAt >= 0 && fds[inputAt].revents != 0) ReadInput();
  }
}

void StationSimulator::ReadLine() {
  std::uint8_t buffer[4096];
  for (;;) {
    const ssize_t n = ::read(line_.MasterFd(), buffer, sizeof buffer);
    if (n > 0) {
      for (const std::string& text : tally_.Feed(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)))) {
        report_.Line(text);
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // Only when every slave descriptor is gone, and this side keeps one.
    hungUp_ = true;
    report_.Line("hangup");
    return;
  }
}

void StationSimulator::ReadInput() {
  char buffer[4096];
  ssize_t n = 0;
  do {
    n = ::read(settings_.inputFd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    input_.append(buffer, static_cast<std::size_t>(n));
  } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
    inputEof_ = true;
  }
}

void StationSimulator::CheckDriver() {
  if (!line_.IsOpen()) return;
  const auto held = line_.HeldExclusively();
  if (!held || *held == driverHeld_) return;
  driverHeld_ = *held;
  driverSince_ = Clock::now();
  report_.Line(driverHeld_ ? "driver open" : "driver closed");
}

}  // namespace vorel::station
