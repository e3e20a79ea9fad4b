#include "app/port_control.h"

#include <optional>
#include <set>
#include <stdexcept>
#include <utility>

#include "app/error_log.h"
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
  w_.station->EnqueuePortStatus();
}

void PortControl::Stop() {
  if (w_.dialogs->AskClosePassword(*w_.closePassword) != PasswordOutcome::Accepted) {
    // A cancel is refused like a wrong password; the port keeps running.
    if (!Ending()) w_.dialogs->ShowMessage(kWrongPasswordMessage);
    return;
  }
  w_.station->StopPort(w_.port);
  w_.panel->SetStopped();
}

void PortControl::Start() {
  if (!w_.station->StartPort(w_.port, w_.panel->List()->currentText().toStdString())) {
    w_.dialogs->ShowMessage(kPortBusyMessage);
    if (Ending()) return;
    Rescan();
    return;
  }
  w_.panel->SetRunning();
  if (w_.port != PortId::Main) return;
  const std::optional<int> number = w_.station->MainPortComNumber();
  if (!number) {
    // Reported as an uncaught error; the port stays open and running, and
    // this press sends neither the frame nor the port-status record.
    throw std::runtime_error("'" + w_.panel->List()->currentText().toStdString() +
                             "' gives no COM port number for the message server");
  }
  w_.station->SendProtocol7(p7::BuildPortNumberFrame(*number));
}

void PortControl::Rescan() {
  // The operator has taken the port over: the start-up's attempts at its
  // configured device end before the probes go through the component.
  w_.station->SetPortWanted(w_.port, false);
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
  if (!w_.station->ProbePort(w_.port, name)) return false;
  w_.panel->List()->addItem(QString::fromStdString(name));
  return true;
}

void PortControl::EntryPicked() {
  if (w_.panel->IsRunning()) return;
  w_.station->SetPortWanted(w_.port, false);  // the operator's choice ends the start-up's attempts
  try {
    SavePortName(w_.configFile, w_.port, w_.panel->List()->currentText().toStdString());
  } catch (const std::exception&) {
    // Nothing is shown; an error log that cannot be written either goes on
    // as an uncaught error.
    LogError(kPortNameNotSaved);
  }
}

}  // namespace vorel
