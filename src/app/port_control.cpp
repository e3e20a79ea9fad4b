#include "app/port_control.h"

#include <optional>
#include <set>
#include <stdexcept>
#include <utility>

#include "app/error_log.h"
#include "station/station_ports.h"
#include "p7/frame.h"

namespace vorel {
namespace {

constexpr int kPortNameNotSaved = 19;

}  // namespace

PortControl::PortControl(Wiring wiring) : w_(std::move(wiring)) {}

void PortControl::StartStopPressed() {
  if (w_.panel->IsRunning())
    Stop();
  else
    Start();
  if (Ending()) return;
  // Whatever came of the press, the server learns both ports as they are now.
  if (w_.reportPortStatus) w_.reportPortStatus();
}

void PortControl::Stop() {
  if (w_.dialogs->AskClosePassword(*w_.closePassword) != PasswordOutcome::Accepted) {
    // A cancel is refused like a wrong password; the port keeps running.
    if (!Ending()) w_.dialogs->ShowMessage(kWrongPasswordMessage);
    return;
  }
  if (w_.driver->IsOpen()) w_.driver->Close();
  w_.panel->SetStopped();
  if (w_.setWanted) w_.setWanted(false);
}

void PortControl::Start() {
  const std::string name = w_.panel->List()->currentText().toStdString();
  w_.driver->SetPortName(DeviceName(name));
  if (w_.setCurrentName) w_.setCurrentName(name);  // also when the open fails: the record reports it
  if (!TryOpen()) {
    // The operator's choice: the start-up's port is no longer tried.
    if (w_.setWanted) w_.setWanted(false);
    w_.dialogs->ShowMessage(kPortBusyMessage);
    if (Ending()) return;
    Rescan();
    return;
  }
  // The station sees DTR rise as the driver starting; then it takes the
  // port's configured level.
  w_.driver->SetDTR(true);
  w_.panel->SetRunning();
  if (w_.setWanted) w_.setWanted(true);
  w_.driver->SetDTR(w_.settings->DTR);
  if (!w_.sendPortNumber) return;
  const std::optional<int> number = p7::ComPortNumber(w_.driver->PortName());
  if (!number) {
    // Reported as an uncaught error; the port stays open and running, and
    // this press sends neither the frame nor the port-status record.
    throw std::runtime_error("'" + w_.panel->List()->currentText().toStdString() +
                             "' gives no COM port number for the message server");
  }
  w_.sendPortNumber(*number);
}

bool PortControl::TryOpen() {
  try {
    return w_.driver->Open();
  } catch (...) {
    return false;
  }
}

void PortControl::Rescan() {
  // The operator has taken the port over: the start-up's attempts at its
  // configured device end before the probes go through the component.
  if (w_.setWanted) w_.setWanted(false);
  QComboBox& list = *w_.panel->List();
  const QString text = list.currentText();
  list.clear();
  // A device held by another program, or by the other panel, does not open
  // and is not listed; so is one that refuses the line settings.
  std::set<std::string> listedFiles;
  for (int n = 1; n <= kRescanLastCom; ++n) {
    const std::string name = "COM" + std::to_string(n);
    if (!Probe(name)) continue;
    if (auto file = DeviceFile(name)) listedFiles.insert(*file);
  }
  // An adapter that a COM name already leads to is listed once, as that.
  for (const std::string& path : SerialDevicePaths(w_.deviceRoots)) {
    const auto file = DeviceFile(path);
    if (file && listedFiles.contains(*file)) continue;
    Probe(path);
  }
  w_.panel->FitListToEntries();
  if (list.count() > 0)
    list.setCurrentIndex(0);
  else
    list.setEditText(text);
  EntryPicked();
}

bool PortControl::Probe(const std::string& name) {
  w_.driver->SetPortName(DeviceName(name));
  if (!TryOpen()) return false;
  w_.driver->Close();
  w_.panel->List()->addItem(QString::fromStdString(name));
  return true;
}

void PortControl::EntryPicked() {
  if (w_.panel->IsRunning()) return;
  if (w_.setWanted) w_.setWanted(false);  // the operator's choice ends the start-up's attempts
  try {
    SavePortName(w_.configFile, w_.port, w_.panel->List()->currentText().toStdString());
  } catch (const std::exception&) {
    // Nothing is shown; an error log that cannot be written either goes on
    // as an uncaught error.
    LogError(kPortNameNotSaved);
  }
}

}  // namespace vorel
