#include "net/socket_error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace larvek {
namespace {

TEST(SocketErrorTest, SystemErrorsMapToTheirCodesAndTexts) {
  struct Case {
    int err;
    int code;
    const char* text;
  } cases[] = {
      {0, 0, "No Error"},
      {EINTR, 10004, "Interrupted system call"},
      {EBADF, 10009, "Bad file number"},
      {EACCES, 10013, "Permission denied"},
      {EINVAL, 10022, "Invalid argument"},
      {EMFILE, 10024, "Too many open files"},
      {EAGAIN, 10035, "Operation would block"},
      {EWOULDBLOCK, 10035, "Operation would block"},
      {ENOTSOCK, 10038, "Socket operation on non-socket"},
      {EADDRINUSE, 10048, "Address already in use"},
      {EADDRNOTAVAIL, 10049, "Address not available"},
      {ECONNABORTED, 10053, "Connection aborted"},
      {ECONNRESET, 10054, "Connection reset by peer"},
      {ENOBUFS, 10055, "No buffer space available"},
      {ENOTCONN, 10057, "Socket is not connected"},
      {EPIPE, 10058, "Can't send after socket shutdown"},
      {ETIMEDOUT, 10060, "Connection timed out"},
      {ECONNREFUSED, 10061, "Connection refused"},
      {EHOSTUNREACH, 10065, "No route to host"},
      {EDQUOT, 10069, "Disc quota exceeded"},
      {EIO, 10000 + EIO, "Not a WinSock error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    EXPECT_EQ(WinsockCode(c.err), c.code);
    EXPECT_EQ(SocketErrorDescription(c.code), c.text);
  }
  EXPECT_EQ(SocketErrorDescription(11004), "No Data");
  EXPECT_EQ(SocketErrorDescription(10093), "WinSock not initialized");
  EXPECT_EQ(SocketErrorDescription(10072), "Not a WinSock error");
  EXPECT_EQ(SocketErrorDescription(-1), "Not a WinSock error");
}

TEST(SocketErrorTest, ErrorTextNamesCodeAndOperation) {
  try {
    ThrowSocketError(10048, "Bind");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.ClassName(), "ESocketException");
    EXPECT_EQ(e.Message(), "Address already in use (#10048 in Bind)");
    EXPECT_EQ(e.Code(), 10048);
  }
}

}  // namespace
}  // namespace larvek
