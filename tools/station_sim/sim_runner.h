// Runs the simulator's commands against one simulated line, reporting what is
// sent and what comes back.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim_command.h"
#include "sim_report.h"
#include "station_line.h"

namespace vorel::station {

// Exit statuses of the tool; a stop signal outside `hold` and outside waiting
// for typed commands gives 128 + the signal number.
inline constexpr int kExitOk = 0;
inline constexpr int kExitExpectationFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitSystemError = 3;

struct SimStep {
  std::optional<Command> command;  // nullopt: take commands from the input here
};

struct SimSettings {
  std::string link;  // where to publish the line; empty: not published
  int stopFd = -1;   // read end of the stop-signal pipe
  int inputFd = 0;   // where typed commands come from
  int baud = 0;      // frames go byte by byte at this line rate; 0: each in one write
};

class StationSimulator {
 public:
  StationSimulator(SimSettings settings, Report& report);
  int Run(const std::vector<SimStep>& steps);

 private:
  using Clock = std::chrono::steady_clock;
  enum class Outcome { Done, Failed, Stopped, SystemError };
  enum class PumpEnd { Condition, Deadline, Stopped };
  struct Watch {
    bool writable = false;
    bool input = false;
  };

  Outcome OpenLine();
  Outcome Execute(const Command& command);
  Outcome Send(const Command& command);
  Outcome WriteAll(const Bytes& bytes, const std::string& description);
  Outcome WaitForDriver(const Command& command, bool open);
  Outcome Interactive();
  Outcome Fail(const std::string& reportLine, const std::string& message);

  // Serves the line (counts what comes back, notices the driver opening and
  // closing) until `done` holds, `deadline` passes or a stop signal comes.
  PumpEnd Pump(Clock::time_point deadline, const std::function<bool()>& done, Watch watch);
  void ReadLine();
  void ReadInput();
  void CheckDriver();

  SimSettings settings_;
  Report& report_;
  StationLine line_;
  RxTally tally_;
  long sentWrites_ = 0;
  long sentBytes_ = 0;
  bool hungUp_ = false;
  bool writable_ = false;
  bool driverHeld_ = false;
  Clock::time_point driverSince_{};
  std::string input_;
  bool inputEof_ = false;
  bool idle_ = false;  // in `hold` or waiting for a typed command: a stop signal is the normal end
  int stopSignal_ = 0;
  int badTypedCommands_ = 0;
};

}  // namespace vorel::station
