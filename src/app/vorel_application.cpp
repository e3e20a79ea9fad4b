#include "app/vorel_application.h"

#include <QMessageBox>
#include <QThread>
#include <QTimer>

#include "app/main_window.h"
#include "app/operator_log.h"
#include "base/uncaught_error.h"

namespace vorel {

QString UncaughtErrorText(const QString& message) {
  return message.endsWith('.') ? message : message + '.';
}

namespace {

bool errorBoxesShown = true;
bool errorBoxOpen = false;  // GUI thread only

}  // namespace

void SetUncaughtErrorBoxes(bool shown) { errorBoxesShown = shown; }

bool HasDisplay(const QString& platformName) { return platformName != "offscreen" && platformName != "minimal"; }

void ShowUncaughtError(const QString& message) {
  // Also for whoever runs the driver without a window.
  QString line = "vorel: error: " + UncaughtErrorText(message);
  line.replace('\n', ' ');
  WriteToStderr(Severity::Error, line.toStdString() + "\n");
  if (!errorBoxesShown) return;
  auto show = [text = UncaughtErrorText(message)] {
    if (errorBoxOpen) return;  // told on standard error already
    errorBoxOpen = true;
    QMessageBox box(QMessageBox::Critical, kApplicationTitle, text, QMessageBox::Ok);
    box.exec();
    errorBoxOpen = false;
  };
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  if (QThread::currentThread() != app->thread() || QThread::currentThread()->loopLevel() == 0) {
    QTimer::singleShot(0, app, show);
    return;
  }
  show();
}

VorelApplication::VorelApplication(int& argc, char** argv) : QApplication(argc, argv) {
  // The program ends through its close sequence only, never because a
  // dialog happened to be the last window on show.
  setQuitOnLastWindowClosed(false);
  SetUncaughtErrorBoxes(HasDisplay(platformName()));
  SetUncaughtErrorSink([](const std::string& message) { ShowUncaughtError(QString::fromStdString(message)); });
}

VorelApplication::~VorelApplication() { SetUncaughtErrorSink(nullptr); }

bool VorelApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ReportCurrentException();
    return false;
  }
}

}  // namespace vorel
