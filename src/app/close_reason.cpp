#include "app/close_reason.h"

namespace vorel {

std::string ClosingLine(CloseReason reason) {
  const char* why = "";
  switch (reason) {
    case CloseReason::Server: why = "the message server's close command"; break;
    case CloseReason::Terminate: why = "SIGTERM (the service manager's stop, or kill)"; break;
    case CloseReason::Interrupt: why = "SIGINT (interrupted from the terminal)"; break;
    case CloseReason::Operator: why = "the operator's close, with the close password"; break;
  }
  return std::string("vorel: closing: ") + why + "\n";
}

}  // namespace vorel
