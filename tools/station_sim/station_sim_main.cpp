// vorel_station_sim: plays the alarm station on a pseudo-terminal, for tests,
// the demo and integrators. See Usage() for the command language.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "sim_command.h"
#include "sim_report.h"
#include "sim_runner.h"
#include "stop_signals.h"

namespace {

using namespace vorel::station;

constexpr const char* kUsage = R"(Usage: vorel_station_sim [OPTIONS] [COMMAND...]

Plays the alarm station on a pseudo-terminal: sends station frames to the
driver, counts the ACK bytes (0x06) and other bytes the driver writes back,
and reports every happening on one line.

Options:
  -d, --com-dir DIR   publish the line as DIR/PORT, a symbolic link to the
                      pseudo-terminal (made or replaced; removed at exit);
                      run the driver with VOREL_COM_DIR=DIR. Without it the
                      line is not published; the report's first line names it.
  -p, --port COMn     the name to publish (default COM1)
  -o, --output FILE   write the report to FILE instead of standard output
  -b, --baud RATE     write each frame byte by byte at the pace of a serial
                      line of RATE bit/s (10 bits a byte: a 12-byte frame
                      takes 12.5 ms at 9600); default: all bytes at once
  -e, --exec CMDS     run commands, ';' between them
  -f, --file FILE     run commands from FILE, one per line
  -i, --interactive   run commands typed on standard input as they come,
                      counting ACKs all the while; ends at end of input
      --hold          after everything else, same as a final 'hold'
  -h, --help          this text
Every argument that is not an option is a command (or several, with ';').
Sources run in the order given. All commands except typed ones are checked
before the line is opened.

Commands (';' separates, '#' starts a comment, "..." keeps blanks together):
  event ACCOUNT CODE      main-port event frame, 12 bytes:
                          LF "011" ACCOUNT ' ' CODE CR
                          ACCOUNT: 1-4 digits (zero-padded) or exactly 4
                          printable characters ("123C", "12X4");
                          CODE: 2 printable characters ("E1", "3A", "ZZ")
  event2 ACCOUNT D1 D2    second-port frame, 15 bytes:
                          "011" ACCOUNT ' ' D1 D2 "   " LF CR
                          D1, D2: one printable character each (hex digits)
  okay                    keep-alive: LF "011OKAY" CR
  restart                 restart request: LF "011RSYN" CR ('Y' at position 7)
  raw HEX...              arbitrary bytes: raw 0a 3530 0x0d
  text "TEXT"             arbitrary text with escapes \n \r \t \0 \\ \" \xHH
  burst N FIRST CODE      N main-port events, accounts FIRST, FIRST+1, ...,
                          in one write: the driver reads them as one packet
                          (packets are cut at 256 bytes)
  numbered N INTERVAL_MS [CODE]
                          N main-port events, accounts 0001..N (code E1 by
                          default), INTERVAL_MS apart
  stream N INTERVAL_MS [FIRST]
                          N main-port events, accounts FIRST.. (default 1),
                          code E1, as a real station sends them: each one
                          again every 5 s until its ACK comes back, the next
                          one INTERVAL_MS after that
  numbered2 N INTERVAL_MS [D1 D2]
                          N second-port frames, accounts 0001..N (details
                          0 0 by default), INTERVAL_MS apart
  wait MS                 pause, still counting what comes back
  expect-ack N [timeout MS]
                          wait until N ACKs have come back in all
  expect-ack +N [timeout MS]
                          wait until N more ACKs have come back
                          (default time-out 3000 ms)
  expect-no-ack MS        no new ACK may come back within MS
  wait-open [timeout MS]  wait until the driver holds the line (it locks the
                          terminal with flock), then 100 ms for its start-up
                          purge; default time-out 10000 ms
  wait-close [timeout MS] wait until the driver lets the line go
  close                   unplug: close the line (the driver's side hangs up)
                          and remove the published name
  reopen                  plug in: a new line published under the same name
  hold                    keep counting until SIGTERM, SIGINT or SIGHUP

The driver gathers what arrives within about 200 ms of a packet's first
byte into one packet (with CutAtFrameEnd=1 only until the bytes end with a
whole frame) and handles every frame in it.

Report lines ("t=" is milliseconds since start):
  t=0 open path=/dev/pts/3 link=DIR/COM1
  t=40 driver open | t=5300 driver closed
  t=150 sent event account=5011 code=E1 bytes=12
  t=362 ack total=1
  t=362 rx bytes=2 hex=4142 other=2
  t=362 expect-ack ok total=1 want=1 | expect-ack fail total=0 want=1 timeout_ms=3000
  t=900 summary sent=1 acks=1 other=2 sent_bytes=12
'sent' counts writes: a burst is one.

Exit status: 0 every expectation held; 1 an expectation failed or a send
could not be made (the run stops there); 2 bad usage or a bad command (typed
commands with errors are skipped and reported, and give 2 at the end); 3 a
system failure; 128+N when signal N ended a run that was not in 'hold' or
waiting for typed commands.
)";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "vorel_station_sim: %s\nTry 'vorel_station_sim --help'.\n", message.c_str());
  return kExitUsage;
}

// "COMn", n = 1, 2, ... as the driver names ports; any letter case.
bool NormalizePortName(std::string& name) {
  if (name.size() < 4 || name.size() > 12) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if (name[i] >= 'a' && name[i] <= 'z') name[i] = static_cast<char>(name[i] - 'a' + 'A');
  }
  if (name.compare(0, 3, "COM") != 0 || name[3] == '0') return false;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

// Adds the commands of `text` to `steps`; false with `error` at the first bad one.
bool AddCommands(std::string_view text, const std::string& where, std::vector<SimStep>& steps,
                 std::string& error) {
  for (const std::string& piece : SplitCommands(text)) {
    ParsedCommand parsed = ParseCommand(piece);
    if (!parsed.error.empty()) {
      error = where + ": '" + piece + "': " + parsed.error;
      return false;
    }
    if (parsed.command) steps.push_back({std::move(parsed.command)});
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string comDir;
  std::string port = "COM1";
  bool portGiven = false;
  std::string output;
  int baud = 0;
  bool interactive = false;
  bool hold = false;
  std::vector<SimStep> steps;
  std::string error;

  bool optionsOver = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (optionsOver || arg.empty() || arg[0] != '-') {
      if (!AddCommands(arg, "argument " + std::to_string(i), steps, error)) return UsageError(error);
    } else if (arg == "--") {
      optionsOver = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "-i" || arg == "--interactive") {
      if (interactive) return UsageError("-i given twice: standard input can be read once");
      interactive = true;
      steps.push_back({std::nullopt});
    } else if (arg == "--hold") {
      hold = true;
    } else if (arg == "-d" || arg == "--com-dir" || arg == "-p" || arg == "--port" || arg == "-o" ||
               arg == "--output" || arg == "-b" || arg == "--baud" || arg == "-e" || arg == "--exec" || arg == "-f" ||
               arg == "--file") {
      const char* v = value();
      if (v == nullptr) return UsageError(arg + " needs a value");
      if (arg == "-d" || arg == "--com-dir") {
        comDir = v;
        if (comDir.empty()) return UsageError("the directory name is empty");
      } else if (arg == "-p" || arg == "--port") {
        port = v;
        portGiven = true;
        if (!NormalizePortName(port)) return UsageError("port name '" + std::string(v) + "' is not COMn (n = 1, 2, ...)");
      } else if (arg == "-o" || arg == "--output") {
        output = v;
      } else if (arg == "-b" || arg == "--baud") {
        char* end = nullptr;
        const long rate = std::strtol(v, &end, 10);
        if (end == v || *end != '\0' || rate < 50 || rate > 4'000'000)
          return UsageError("baud rate '" + std::string(v) + "' is not a number from 50 to 4000000");
        baud = static_cast<int>(rate);
      } else if (arg == "-e" || arg == "--exec") {
        if (!AddCommands(v, "-e", steps, error)) return UsageError(error);
      } else {
        std::ifstream file(v);
        if (!file) return UsageError(std::string("cannot read ") + v);
        std::string text;
        for (int lineNo = 1; std::getline(file, text); ++lineNo) {
          if (!AddCommands(text, std::string(v) + ":" + std::to_string(lineNo), steps, error)) return UsageError(error);
        }
      }
    } else {
      return UsageError("unknown option " + arg);
    }
  }
  if (portGiven && comDir.empty()) return UsageError("--port names the published link: give --com-dir too");
  if (hold) {
    Command holdCommand;
    holdCommand.kind = CommandKind::Hold;
    steps.push_back({std::move(holdCommand)});
  }
  if (steps.empty()) return UsageError("nothing to do: give commands, -f, -i or --hold");

  std::FILE* out = stdout;
  if (!output.empty()) {
    out = std::fopen(output.c_str(), "w");
    if (out == nullptr) {
      std::fprintf(stderr, "vorel_station_sim: cannot write %s: %s\n", output.c_str(), std::strerror(errno));
      return kExitSystemError;
    }
  }
  const int stopFd = InstallStopSignals();
  if (stopFd < 0) {
    std::fprintf(stderr, "vorel_station_sim: cannot watch for signals: %s\n", std::strerror(errno));
    return kExitSystemError;
  }

  Report report(out);
  SimSettings settings;
  if (!comDir.empty()) settings.link = comDir + (comDir.back() == '/' ? "" : "/") + port;
  settings.stopFd = stopFd;
  settings.baud = baud;
  settings.inputFd = 0;
  StationSimulator simulator(settings, report);
  const int status = simulator.Run(steps);
  if (out != stdout) std::fclose(out);
  return status;
}
