#include <errno.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include "net/RWinSocket.h"

using namespace vantor;

// Every status number has its fixed name; anything else is "?????".
TEST(WsStatus, Names) {
  struct Case {
    int status;
    const char* name;
  } cases[] = {
      {0, "WS_OK"},        {1, "WS_Listening"},  {5, "WS_Service"},      {6, "WS_Closing"},
      {11, "WS_NoNotify"}, {12, "WS_PortUsed"},  {15, "WS_HostUnknown"}, {23, "WS_SoftClose"},
      {26, "WS_More"},     {29, "WS_TimerTick"}, {30, "WS_Notify"},      {31, "WS_Securing"},
      {32, "?????"},       {-1, "?????"},
  };
  for (const Case& c : cases) EXPECT_STREQ(WsStatusName(c.status), c.name) << c.status;
}

// errno values reach the status of the same meaning and, in the trace, the
// WinSock name; an errno without a WinSock twin keeps its number.
TEST(WsStatus, ErrnoByMeaning) {
  struct Case {
    int err;
    WsStatus st;
    const char* name;
  } cases[] = {
      {0, WS_OK, "OK"},
      {ECONNREFUSED, WS_ConRefused, "WSAECONNREFUSED"},
      {EADDRINUSE, WS_PortUsed, "WSAEADDRINUSE"},
      {EADDRNOTAVAIL, WS_UnknownIP, "WSAEADDRNOTAVAIL"},
      {ECONNRESET, WS_Reset, "WSAECONNRESET"},
      {EPIPE, WS_Reset, "WSAECONNRESET"},
      {ETIMEDOUT, WS_Timeout, "WSAETIMEDOUT"},
      {ENOTCONN, WS_NotCon, "WSAENOTCONN"},
      {EINVAL, WS_NoListen, "WSAEINVAL"},
      {EAGAIN, WS_Error, "WSAEWOULDBLOCK"},
      {ENETDOWN, WS_NoNetwork, "WSAENETDOWN"},
      {ENOBUFS, WS_NoSocket, "WSAENOBUFS"},
      {EMSGSIZE, WS_TooLarge, "WSAEMSGSIZE"},
      {EIO, WS_Error, "5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    EXPECT_EQ(MapErrno(c.err), c.st);
    EXPECT_EQ(WinSockErrorName(ErrnoToWinSock(c.err)), c.name);
  }
  EXPECT_EQ(WinSockErrorName(10000), "WSABASEERR");
  EXPECT_EQ(WinSockErrorName(11004), "WSANO_DATA");
  EXPECT_EQ(WinSockErrorName(EaiToWinSock(EAI_NONAME)), "WSAHOST_NOT_FOUND");
  EXPECT_EQ(WinSockErrorName(EaiToWinSock(EAI_AGAIN)), "WSATRY_AGAIN");
}
