// Why the program ends, told to the service manager's journal as the close
// begins: a close after the journal's "Deactivated successfully" alone would
// leave an administrator guessing.
#pragma once

#include <string>

namespace vorel {

enum class CloseReason {
  Server,     // the message server's close command
  Terminate,  // SIGTERM: the service manager's stop, or kill
  Interrupt,  // SIGINT: Ctrl+C in a terminal
  Operator,   // the operator, with the close password
};

// The line for standard error: "vorel: closing: " and the reason.
std::string ClosingLine(CloseReason reason);

}  // namespace vorel
