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
#include "serial/CPDrv.h"
#include "serial/port_name.h"

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
    TCommPortDriver* driver = nullptr;
    // The port's settings as loaded at start-up: DTR is the level after a start.
    const PortSettings* settings = nullptr;
    // The station core's record of the port: its current name (what the
    // port-status record reports, replaced by the list's text at every
    // start), and whether the operator wants it running. Any action of the
    // operator on the panel sets the latter, which ends the start-up's
    // attempts at a port that did not open.
    std::function<void(const std::string&)> setCurrentName;
    std::function<void(bool)> setWanted;
    IShellDialogs* dialogs = nullptr;
    const QString* closePassword = nullptr;
    std::filesystem::path configFile = kIniFileName;
    // Where the rescan looks for serial adapters.
    SerialDeviceRoots deviceRoots;
    // Main port only: a successful start sends the device's COM number to the
    // message server.
    std::function<void(int comNumber)> sendPortNumber;
    // After every Start/Stop press: queue the port-status record (nothing
    // when protocol 8 is off).
    std::function<void()> reportPortStatus;
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
  // Opens the component under its current device name; an error while
  // opening is a failure like any other.
  bool TryOpen();
  // Adds `name` to the list when it opens now; it is closed again at once.
  bool Probe(const std::string& name);
  bool Ending() const { return w_.ending && w_.ending(); }

  Wiring w_;
};

}  // namespace vorel
