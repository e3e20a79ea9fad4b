// The one place where errno becomes a Windows Sockets error code.
#pragma once

namespace vorel {

// The Windows Sockets code for an errno of a socket call. An errno that has
// no counterpart becomes 12000 + errno: still an error to the component, and
// reported as "Not a WinSock error ?".
int WinSockErrorFromErrno(int error);

}  // namespace vorel
