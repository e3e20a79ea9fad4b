// The application object: the event loop of the GUI thread, and the one place
// where errors that escape an event handler end up. They are shown in a
// message box titled with the application title, and the program goes on.
#pragma once

#include <QApplication>
#include <QString>

namespace vorel {

// The text shown for an error: a full stop is added when it has none.
QString UncaughtErrorText(const QString& message);

// Shows an uncaught error in a modal message box, and writes it to standard
// error as "vorel: error: <text>". Before the event loop runs
// (during start-up) the box waits until it does; from another thread it is
// handed to the GUI thread.
void ShowUncaughtError(const QString& message);

class VorelApplication : public QApplication {
  Q_OBJECT

 public:
  VorelApplication(int& argc, char** argv);
  ~VorelApplication() override;

  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace vorel
