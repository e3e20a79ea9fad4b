// The port page ("setup"): one panel per serial port with its port list, its
// Start/Stop button and its rescan button. A panel is running or stopped; the
// Start/Stop caption shows which, and is what the handlers test.
#pragma once

#include <QComboBox>
#include <QGroupBox>
#include <QPushButton>
#include <QString>
#include <QWidget>

namespace vorel {

inline constexpr char kStopCaption[] = "Остановить";   // running: pressing it stops
inline constexpr char kStartCaption[] = "Запустить";   // stopped: pressing it starts

class PortPanel {
 public:
  PortPanel(QWidget* page, const QString& caption, int top);

  bool IsRunning() const;
  void SetRunning();
  // Stopped. The list keeps its entry: the device that was running is the
  // one the next Start opens, unless the operator picks another.
  void SetStopped();
  // The open list is wide enough for its longest entry (a device path).
  void FitListToEntries();

  QGroupBox* Box() const { return box_; }
  QComboBox* List() const { return list_; }
  QPushButton* StartStop() const { return startStop_; }
  QPushButton* Rescan() const { return rescan_; }

 private:
  QGroupBox* box_;
  QComboBox* list_;
  QPushButton* startStop_;
  QPushButton* rescan_;
};

class PortPage : public QWidget {
  Q_OBJECT

 public:
  explicit PortPage(QWidget* parent = nullptr);

  PortPanel& Main() { return main_; }
  PortPanel& Second() { return second_; }

 private:
  PortPanel main_;
  PortPanel second_;
};

}  // namespace vorel
