// How much a line of the driver's logs matters. Each writer of a line says
// it; under systemd it becomes the line's syslog priority in the journal
// ("<3>" error, "<4>" warning, "<6>" info, "<7>" debug), so that
// "journalctl -p warning" shows what an operator must see.
#pragma once

namespace vorel {

enum class Severity { Error = 3, Warning = 4, Info = 6, Debug = 7 };

}  // namespace vorel
