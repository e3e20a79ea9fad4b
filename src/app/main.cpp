// Program start: the application title, the station runtime (the serial
// components, the protocol-7 client, the timers and the station core) and
// its status file, the main window (whose creation runs the start-up
// sequence), the password dialog, the message box, then the event loop until
// the close sequence lets the program end. A service manager hears when the
// window is up, gets watchdog pings and hears the end.
#include <QApplication>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "app/command_line.h"
#include "app/instance_lock.h"
#include "app/main_window.h"
#include "app/operator_log.h"
#include "app/message_box.h"
#include "app/password_dialog.h"
#include "app/service_notifier.h"
#include "app/service_reporter.h"
#include "app/shell_dialogs.h"
#include "app/status_command.h"
#include "app/status_keeper.h"
#include "app/termination_signals.h"
#include "app/vorel_application.h"
#include "config/settings.h"
#include "version/version_info.h"

namespace {

// Without a display the program runs on Qt's offscreen platform.
void ChoosePlatform() {
  if (std::getenv("QT_QPA_PLATFORM") != nullptr) return;
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0'))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

constexpr const char* kHelp =
    "The receiver driver of the alarm-monitoring station. It reads vorel.ini from\n"
    "its working directory and writes its logs and spool files there.\n"
    "\n"
    "Options:\n"
    "  --help       print this text and exit\n"
    "  --version    print the program's version (vorel X.Y.Z.W) and exit\n"
    "  --status [DIR | NAME]  print the status file (vorel.status) of the driver\n"
    "                 running in DIR (a path: ., ./x, /x) or of the instance\n"
    "                 vorel@NAME (/var/lib/vorel/NAME); default /var/lib/vorel,\n"
    "                 the packaged service. Exit status: 0 running, 1 not\n"
    "                 updated for 30 s (hung or killed), 3 ended, 4 no status file\n"
    "\n"
    "Environment:\n"
    "  VOREL_COM_DIR     COMn is the entry COMn of this directory instead of\n"
    "                    /dev/ttyS<n-1>\n"
    "  VOREL_CLOCK_FILE  a clock frame from the message server writes the time to\n"
    "                    this file instead of setting the machine's clock\n"
    "  QT_QPA_PLATFORM   Qt platform; offscreen when there is no display\n"
    "  NOTIFY_SOCKET     set by systemd (Type=notify): readiness, watchdog pings\n"
    "                    (WatchdogSec=) and stopping are reported there\n"
    "  JOURNAL_STREAM    set by systemd: lines on standard error start with their\n"
    "                    level (<3> error, <4> warning, <6> info) when it is\n"
    "                    the journal\n"
    "\n"
    "Files (in the working directory): vorel.ini, vorel.log, vorelu.log,\n"
    "error.txt, vorel.status, vorel.prom (the status for Prometheus), spool\n"
    "files *.ddm and *.dd8. Every line of the log on the status page also goes\n"
    "to standard error as \"vorel: log: TIME TEXT\".\n"
    "\n"
    "One driver per working directory and spool directory: a second one there\n"
    "ends with exit status 1 and names the first. An unknown option or an extra\n"
    "argument starts nothing: exit status 2.\n"
    "See vorel(1).\n";

}  // namespace

int main(int argc, char** argv) {
  const vorel::CommandLine commandLine = vorel::ParseCommandLine({argv + 1, argv + argc});
  switch (commandLine.action) {
    case vorel::CommandLine::Action::Misuse:
      std::fprintf(stderr, "vorel: %s\n%s\n", commandLine.error.c_str(), vorel::kUsageLine);
      return 2;
    case vorel::CommandLine::Action::Version: {
      // Read back from the executable, as the protocol-8 handshake reads it.
      const vorel::TVersionInfo versionInfo(vorel::OwnExecutablePath());
      std::printf("vorel %s\n", versionInfo.FileVersionText().c_str());
      return 0;
    }
    case vorel::CommandLine::Action::Status:
      return vorel::RunStatusCommand(
          vorel::StatusDirectory(commandLine.statusTarget ? commandLine.statusTarget->c_str() : nullptr), std::cout,
          std::cerr);
    case vorel::CommandLine::Action::Help:
      std::printf("%s\n%s", vorel::kUsageLine, kHelp);
      return 0;
    case vorel::CommandLine::Action::Run:
      break;
  }
  // Standard error may be a pipe whose reader ends (a pager, a restarted
  // logger): its writes then fail, and only the copies to it stop.
  std::signal(SIGPIPE, SIG_IGN);

  // Before anything is written here: one driver per working directory and
  // spool directory. A bad configuration is reported by the start-up.
  vorel::Settings settings;
  try {
    vorel::LoadSettings(vorel::kIniFileName, settings);
  } catch (const std::exception&) {
  }
  std::error_code noDirectory;
  const std::filesystem::path workingDirectory = std::filesystem::current_path(noDirectory);
  const vorel::InstanceLocks locks =
      vorel::TakeInstanceLocks(noDirectory ? std::filesystem::path(".") : workingDirectory, settings.PathForSoob);
  if (locks.refused) {
    vorel::WriteToStderr(vorel::Severity::Error, "vorel: " + *locks.refused + "\n");
    return 1;
  }
  for (const std::string& warning : locks.warnings)
    vorel::WriteToStderr(vorel::Severity::Warning, "vorel: " + warning + "\n");
  std::setlocale(LC_ALL, "");
  ChoosePlatform();

  vorel::VorelApplication app(argc, argv);
  vorel::TerminationSignals terminationSignals;
  vorel::ShellDialogs dialogs;

  const auto notifier = vorel::MakePlatformServiceNotifier();
  vorel::ServiceReporter serviceReporter(*notifier);

  vorel::StationRuntime runtime;
  vorel::StatusKeeper statusKeeper(runtime, vorel::kStatusFileName,
                                   [&serviceReporter](const std::string& line) { serviceReporter.SetStatus(line); });
  vorel::ShellServices services;
  services.dialogs = &dialogs;
  services.endProgram = [] { QCoreApplication::exit(0); };
  services.closing = [&serviceReporter](vorel::CloseReason reason) {
    vorel::WriteToStderr(vorel::Severity::Info, vorel::ClosingLine(reason));
    serviceReporter.Stop();
  };
  vorel::TForm1 form1(runtime, services);
  vorel::TForm2 form2;
  vorel::Tadvsm advsm;
  dialogs.Attach(&form2, &advsm);

  QObject::connect(&terminationSignals, &vorel::TerminationSignals::terminationRequested, &form1,
                   [&form1](int signalNumber) {
                     form1.CloseWithoutPassword(signalNumber == SIGINT ? vorel::CloseReason::Interrupt
                                                                       : vorel::CloseReason::Terminate);
                   });
  form1.show();

  serviceReporter.Start();
  const int status = app.exec();
  // An end the window did not begin (the event loop quit otherwise). Before
  // the station closes: closing the ports and spooling queued events belong
  // to the stop.
  serviceReporter.Stop();
  runtime.Close();
  // The last word of the status file: the driver has ended, and what waits
  // in the spool for the next run.
  statusKeeper.WriteEnded();
  return status;
}
