// The application object: the event loop of the GUI thread, and the one place
// where errors that escape an event handler end up. They are shown in a
// message box titled with the application title, and the program goes on.
#pragma once

#include <QApplication>
#include <QString>

namespace vorel {

// The text shown for an error: a full stop is added when it has none.
QString UncaughtErrorText(const QString& message);

// Writes an uncaught error to standard error as "vorel: error: <text>" and,
// where someone can see and close it, shows it in a modal message box. At
// most one such box is open at a time: an error that comes while one is on
// show goes to standard error only, so that boxes never nest event loops.
// Before the event loop runs (during start-up) the box waits until it does;
// from another thread it is handed to the GUI thread.
void ShowUncaughtError(const QString& message);

// Whether ShowUncaughtError opens boxes. Off where there is no display (the
// offscreen and minimal platforms): nobody could close a box there, and each
// would hold a nested event loop for good.
void SetUncaughtErrorBoxes(bool shown);
bool HasDisplay(const QString& platformName);

class VorelApplication : public QApplication {
  Q_OBJECT

 public:
  VorelApplication(int& argc, char** argv);
  ~VorelApplication() override;

  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace vorel
