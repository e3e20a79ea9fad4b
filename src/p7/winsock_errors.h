// Socket error codes as the component and its owner see them: the Windows
// Sockets numbers and their texts, whatever the platform underneath. An errno
// of the system becomes one of these numbers here, beside the table of texts;
// everything above the platform part speaks only these numbers.
#pragma once

#include <cstdint>
#include <string>

namespace vorel::wsa {

inline constexpr std::int32_t kInterrupted = 10004;           // WSAEINTR
inline constexpr std::int32_t kBadFile = 10009;               // WSAEBADF
inline constexpr std::int32_t kAccessDenied = 10013;          // WSAEACCES
inline constexpr std::int32_t kBadAddress = 10014;            // WSAEFAULT
inline constexpr std::int32_t kInvalidArgument = 10022;       // WSAEINVAL
inline constexpr std::int32_t kTooManyOpenFiles = 10024;      // WSAEMFILE
inline constexpr std::int32_t kWouldBlock = 10035;            // WSAEWOULDBLOCK
inline constexpr std::int32_t kInProgress = 10036;            // WSAEINPROGRESS
inline constexpr std::int32_t kAlreadyInProgress = 10037;     // WSAEALREADY
inline constexpr std::int32_t kNotSocket = 10038;             // WSAENOTSOCK
inline constexpr std::int32_t kDestinationRequired = 10039;   // WSAEDESTADDRREQ
inline constexpr std::int32_t kMessageTooLong = 10040;        // WSAEMSGSIZE
inline constexpr std::int32_t kProtocolWrongType = 10041;     // WSAEPROTOTYPE
inline constexpr std::int32_t kProtocolNotAvailable = 10042;  // WSAENOPROTOOPT
inline constexpr std::int32_t kProtocolNotSupported = 10043;  // WSAEPROTONOSUPPORT
inline constexpr std::int32_t kSocketTypeNotSupported = 10044;
inline constexpr std::int32_t kOperationNotSupported = 10045;  // WSAEOPNOTSUPP
inline constexpr std::int32_t kProtocolFamilyNotSupported = 10046;
inline constexpr std::int32_t kAddressFamilyNotSupported = 10047;
inline constexpr std::int32_t kAddressInUse = 10048;
inline constexpr std::int32_t kAddressNotAvailable = 10049;
inline constexpr std::int32_t kNetworkDown = 10050;
inline constexpr std::int32_t kNetworkUnreachable = 10051;
inline constexpr std::int32_t kNetworkReset = 10052;
inline constexpr std::int32_t kConnectionAborted = 10053;
inline constexpr std::int32_t kConnectionReset = 10054;
inline constexpr std::int32_t kNoBufferSpace = 10055;
inline constexpr std::int32_t kAlreadyConnected = 10056;
inline constexpr std::int32_t kNotConnected = 10057;
inline constexpr std::int32_t kShutDown = 10058;
inline constexpr std::int32_t kTooManyReferences = 10059;
inline constexpr std::int32_t kTimedOut = 10060;
inline constexpr std::int32_t kConnectionRefused = 10061;
inline constexpr std::int32_t kLoop = 10062;
inline constexpr std::int32_t kNameTooLong = 10063;
inline constexpr std::int32_t kHostDown = 10064;
inline constexpr std::int32_t kHostUnreachable = 10065;
inline constexpr std::int32_t kNotEmpty = 10066;
inline constexpr std::int32_t kTooManyProcesses = 10067;
inline constexpr std::int32_t kTooManyUsers = 10068;
inline constexpr std::int32_t kQuotaExceeded = 10069;
inline constexpr std::int32_t kStale = 10070;
inline constexpr std::int32_t kRemote = 10071;
inline constexpr std::int32_t kSystemNotReady = 10091;      // WSASYSNOTREADY
inline constexpr std::int32_t kVersionNotSupported = 10092;  // WSAVERNOTSUPPORTED
inline constexpr std::int32_t kNotInitialised = 10093;       // WSANOTINITIALISED
inline constexpr std::int32_t kHostNotFound = 11001;
inline constexpr std::int32_t kTryAgain = 11002;
inline constexpr std::int32_t kNoRecovery = 11003;
inline constexpr std::int32_t kNoData = 11004;

// The text the component reports for a code: "Not a WinSock error ?" for a
// code it does not know.
std::string ErrorText(std::int32_t code);

// The code for an errno of a socket call. An errno without a counterpart
// becomes 12000 + errno: still an error to the component, reported with the
// text for an unknown code.
std::int32_t FromErrno(int error);

}  // namespace vorel::wsa
