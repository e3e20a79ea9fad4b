// Setting up the two serial components of the main window at start-up.
#pragma once

#include "base/clock.h"
#include "base/port_id.h"
#include "base/scheduler.h"
#include "config/settings.h"
#include "serial/CPDrv.h"

namespace vorel {

// The values the main window gives both components: 256-byte packets cut by
// 200 ms of silence, passed on, polled every 5 ms.
void ConfigureStationPort(TCommPortDriver& port);

// Applies the line-setting texts of a port section; unknown texts leave the
// component's defaults.
void ApplyLineSettings(const PortSettings& settings, TCommPortDriver& port);

// CutAtFrameEnd of the port's section: the port cuts a packet as soon as it
// ends with a whole frame of that port (LF ... CR on the main port, 15-byte
// frames on the second), or only by size and time. Applied while the port
// is closed.
void ApplyPacketCut(PortId id, const PortSettings& settings, TCommPortDriver& port);

// The device name of a configured port name: "\\.\" + name.
std::string DeviceName(const std::string& portName);

// Opens the port under its current device name; on success DTR and RTS are
// lowered, and DTR is raised again 300 ms later, which the station takes as
// the driver starting (a pause the scheduler ends: the event loop goes on
// meanwhile). An error while opening counts as a failure.
bool OpenWithStartPulse(TCommPortDriver& port, IScheduler& scheduler);

// Opens a configured port at start-up: false when it is not configured
// ("COM255") or does not open; on success DTR and RTS are lowered, and DTR is
// raised again 300 ms later, which the station takes as the driver starting.
bool OpenPortAtStartUp(TCommPortDriver& port, const PortSettings& settings, IScheduler& scheduler);

}  // namespace vorel
