// Program start: the application title, the main window (whose creation runs
// the start-up sequence), the password dialog, the message box, then the
// event loop until the close sequence lets the program end.
#include <QApplication>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/main_window.h"
#include "app/message_box.h"
#include "app/password_dialog.h"
#include "app/shell_dialogs.h"
#include "app/termination_signals.h"
#include "app/vorel_application.h"
#include "p8/version_info.h"

namespace {

// Without a display the program runs on Qt's offscreen platform.
void ChoosePlatform() {
  if (std::getenv("QT_QPA_PLATFORM") != nullptr) return;
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0'))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    // Read back from the executable, as the protocol-8 handshake reads it.
    const vorel::TVersionInfo versionInfo(vorel::OwnExecutablePath());
    std::printf("vorel %s\n", versionInfo.FileVersionText().c_str());
    return 0;
  }
  std::setlocale(LC_ALL, "");
  ChoosePlatform();

  vorel::VorelApplication app(argc, argv);
  vorel::TerminationSignals terminationSignals;
  vorel::ShellDialogs dialogs;

  vorel::ShellServices services;
  services.dialogs = &dialogs;
  services.endProgram = [] { QCoreApplication::exit(0); };
  vorel::TForm1 form1(services);
  vorel::TForm2 form2;
  vorel::Tadvsm advsm;
  dialogs.Attach(&form2, &advsm);

  QObject::connect(&terminationSignals, &vorel::TerminationSignals::terminationRequested, &form1,
                   [&form1] { form1.CloseWithoutPassword(); });
  form1.show();
  return app.exec();
}
