// Socket error codes: the system's errno turned into the Windows Sockets
// number once, and the text reported for each number.
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "p7/winsock_errors.h"

namespace vorel {
namespace {

TEST(SocketErrorsTest, TextOfACode) {
  struct Case {
    int code;
    const char* text;
  };
  const std::vector<Case> cases = {
      {10004, "Interrupted system call"},
      {10009, "Bad file number"},
      {10014, "Bad address"},
      {10035, "Operation would block"},
      {10038, "Socket operation on non-socket"},
      {10047, "Address family not supported by protocol family"},
      {10049, "Can't assign requested address"},
      {10054, "Connection reset by peer"},
      {10057, "Socket is not connected"},
      {10059, "Too many references: can't splice"},
      {10061, "Connection refused"},
      {10071, "Too many levels of remote in path"},
      {10091, "Network sub-system is unusable"},
      {10092, "WinSock DLL cannot support this application"},
      {10093, "WinSock not initialized"},
      {11001, "Host not found"},
      {11004, "No Data"},
      // Codes the table does not know.
      {10010, "Not a WinSock error ?"},
      {10072, "Not a WinSock error ?"},
      {11005, "Not a WinSock error ?"},
      {0, "Not a WinSock error ?"},
      {-1, "Not a WinSock error ?"},
      {12005, "Not a WinSock error ?"},
  };
  for (const auto& c : cases) EXPECT_EQ(wsa::ErrorText(c.code), c.text) << c.code;
}

TEST(SocketErrorsTest, ErrnoBecomesTheWindowsSocketsCode) {
  struct Case {
    int error;
    int code;
  };
  const std::vector<Case> cases = {
      {ECONNREFUSED, 10061}, {ECONNRESET, 10054},  {ETIMEDOUT, 10060},    {ENOTCONN, 10057},
      {EWOULDBLOCK, 10035},  {EAGAIN, 10035},      {ENOTSOCK, 10038},     {EBADF, 10038},
      {EHOSTUNREACH, 10065}, {ENETUNREACH, 10051}, {EADDRINUSE, 10048},   {EINPROGRESS, 10036},
      {EPIPE, 10058},        {EMFILE, 10024},      {EINVAL, 10022},       {EACCES, 10013},
      {EFAULT, 10014},       {EINTR, 10004},       {EADDRNOTAVAIL, 10049}, {ECONNABORTED, 10053},
      {ENOBUFS, 10055},      {EISCONN, 10056},     {EALREADY, 10037},     {ENETDOWN, 10050},
  };
  for (const auto& c : cases) EXPECT_EQ(wsa::FromErrno(c.error), c.code) << c.error;
}

TEST(SocketErrorsTest, AnErrnoWithoutCounterpartIsStillAnErrorButNotOneOfTheTable) {
  const int code = wsa::FromErrno(EIO);
  EXPECT_GT(code, 10000) << "the component treats it as an error";
  EXPECT_EQ(wsa::ErrorText(code), "Not a WinSock error ?");
}

}  // namespace
}  // namespace vorel
