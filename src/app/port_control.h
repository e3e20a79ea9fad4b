// The operator's actions on the panel of one port (page "setup"): start and
// stop the port, look again for the devices that are present, pick one.
// Stopping needs the close password; every Start/Stop press, whatever its
// outcome, reports both ports to the protocol-8 server; the device picked
// for a stopped port is written back into the configuration file.
#pragma once

#include <QString>

#include <filesystem>
#include <functional>
#include <string>

#include "app/port_page.h"
#include "app/shell_dialogs.h"
#include "config/settings.h"
#include "serial/port_name.h"
#include "station/station.h"

namespace vorel {

inline constexpr char kWrongPasswordMessage[] = "Неправильный пароль. В доступе отказано";
inline constexpr char kPortBusyMessage[] = "Порт уже занят!";
// The rescan probes COM1 … COM32, then the machine's serial adapters by
// their stable names (SerialDevicePaths).
inline constexpr int kRescanLastCom = 32;

class PortControl {
 public:
  struct Wiring {
    PortId port = PortId::Main;
    PortPanel* panel = nullptr;
    // The station core, which starts, stops and probes the port and keeps
    // its current name (what the port-status record reports, replaced by
    // the list's text at every start) and whether the operator wants it
    // running. Any action of the operator on the panel sets the latter,
    // which ends the start-up's attempts at a port that did not open. On
    // the main port a successful start also sends the device's COM number
    // to the message server; every Start/Stop press queues the port-status
    // record (nothing when protocol 8 is off).
    Station* station = nullptr;
    IShellDialogs* dialogs = nullptr;
    const QString* closePassword = nullptr;
    std::filesystem::path configFile = kIniFileName;
    // Where the rescan looks for serial adapters.
    SerialDeviceRoots deviceRoots;
    // True once the program is ending without the password: a press whose
    // dialog that end closed does nothing more.
    std::function<bool()> ending;
  };

  explicit PortControl(Wiring wiring);

  void StartStopPressed();
  void RescanPressed() { Rescan(); }
  // An entry picked in the list: saved as the port's name while stopped.
  void EntryPicked();

 private:
  void Stop();
  void Start();
  void Rescan();
  // Adds `name` to the list when it opens now; it is closed again at once.
  bool Probe(const std::string& name);
  bool Ending() const { return w_.ending && w_.ending(); }

  Wiring w_;
};

}  // namespace vorel
