// The socket layer's two number spaces, each generated from one list: the
// statuses every operation returns and every event carries, and the WinSock
// error numbers the layer keeps in its traces and maps to statuses.
#pragma once

#include <string>

namespace vantor {

// Status codes: returned by every operation and carried by every event.
// WS_NoNotify and WS_Notify are reserved and never produced; WS_Securing is
// the operation of a TLS handshake started with StartTls.
#define VANTOR_WS_STATUS_LIST(X) \
  X(WS_OK, 0)                    \
  X(WS_Listening, 1)             \
  X(WS_Receiving, 2)             \
  X(WS_Sending, 3)               \
  X(WS_Connecting, 4)            \
  X(WS_Service, 5)               \
  X(WS_Closing, 6)               \
  X(WS_WrongType, 7)             \
  X(WS_NoSockLib, 8)             \
  X(WS_NoSocket, 9)              \
  X(WS_NoNetwork, 10)            \
  X(WS_NoNotify, 11)             \
  X(WS_PortUsed, 12)             \
  X(WS_NoCaller, 13)             \
  X(WS_NoListen, 14)             \
  X(WS_HostUnknown, 15)          \
  X(WS_Busy, 16)                 \
  X(WS_NotCon, 17)               \
  X(WS_ConRefused, 18)           \
  X(WS_Reset, 19)                \
  X(WS_Error, 20)                \
  X(WS_TooLarge, 21)             \
  X(WS_UnknownIP, 22)            \
  X(WS_SoftClose, 23)            \
  X(WS_Closed, 24)               \
  X(WS_Timeout, 25)              \
  X(WS_More, 26)                 \
  X(WS_Nothing, 27)              \
  X(WS_Aborted, 28)              \
  X(WS_TimerTick, 29)            \
  X(WS_Notify, 30)               \
  X(WS_Securing, 31)

enum WsStatus : int {
#define X(name, number) name = number,
  VANTOR_WS_STATUS_LIST(X)
#undef X
};

// WinSock error numbers, named as in the traces (WSAEWOULDBLOCK 10035 ...).
#define VANTOR_WSA_ERROR_LIST(X) \
  X(WSABASEERR, 10000)           \
  X(WSAEINTR, 10004)             \
  X(WSAEBADF, 10009)             \
  X(WSAEACCES, 10013)            \
  X(WSAEFAULT, 10014)            \
  X(WSAEINVAL, 10022)            \
  X(WSAEMFILE, 10024)            \
  X(WSAEWOULDBLOCK, 10035)       \
  X(WSAEINPROGRESS, 10036)       \
  X(WSAEALREADY, 10037)          \
  X(WSAENOTSOCK, 10038)          \
  X(WSAEDESTADDRREQ, 10039)      \
  X(WSAEMSGSIZE, 10040)          \
  X(WSAEPROTOTYPE, 10041)        \
  X(WSAENOPROTOOPT, 10042)       \
  X(WSAEPROTONOSUPPORT, 10043)   \
  X(WSAESOCKTNOSUPPORT, 10044)   \
  X(WSAEOPNOTSUPP, 10045)        \
  X(WSAEPFNOSUPPORT, 10046)      \
  X(WSAEAFNOSUPPORT, 10047)      \
  X(WSAEADDRINUSE, 10048)        \
  X(WSAEADDRNOTAVAIL, 10049)     \
  X(WSAENETDOWN, 10050)          \
  X(WSAENETUNREACH, 10051)       \
  X(WSAENETRESET, 10052)         \
  X(WSAECONNABORTED, 10053)      \
  X(WSAECONNRESET, 10054)        \
  X(WSAENOBUFS, 10055)           \
  X(WSAEISCONN, 10056)           \
  X(WSAENOTCONN, 10057)          \
  X(WSAESHUTDOWN, 10058)         \
  X(WSAETOOMANYREFS, 10059)      \
  X(WSAETIMEDOUT, 10060)         \
  X(WSAECONNREFUSED, 10061)      \
  X(WSAELOOP, 10062)             \
  X(WSAENAMETOOLONG, 10063)      \
  X(WSAEHOSTDOWN, 10064)         \
  X(WSAEHOSTUNREACH, 10065)      \
  X(WSAENOTEMPTY, 10066)         \
  X(WSAEPROCLIM, 10067)          \
  X(WSAEUSERS, 10068)            \
  X(WSAEDQUOT, 10069)            \
  X(WSAESTALE, 10070)            \
  X(WSAEREMOTE, 10071)           \
  X(WSASYSNOTREADY, 10091)       \
  X(WSAVERNOTSUPPORTED, 10092)   \
  X(WSANOTINITIALISED, 10093)    \
  X(WSAEDISCON, 10101)           \
  X(WSAHOST_NOT_FOUND, 11001)    \
  X(WSATRY_AGAIN, 11002)         \
  X(WSANO_RECOVERY, 11003)       \
  X(WSANO_DATA, 11004)

enum RWsaError : int {
#define X(name, number) name = number,
  VANTOR_WSA_ERROR_LIST(X)
#undef X
};

// The exact names ("WS_OK" ... "WS_Securing"); "?????" for anything else.
const char* WsStatusName(int status);

// WinSock error numbers to statuses, as the socket layer has always mapped
// them; unknown numbers give `WS_Error`.
WsStatus MapWinSockError(int wsaError);
// errno (and getaddrinfo EAI_ codes, passed as `EaiToWinSock`) to the
// WinSock number of the same meaning; an errno without one is returned
// unchanged (so the trace shows the raw number).
int ErrnoToWinSock(int err);
int EaiToWinSock(int eaiCode);
// "OK" for 0, the WinSock symbolic name (WSAEWOULDBLOCK ...), else decimal.
std::string WinSockErrorName(int wsaError);
// MapWinSockError(ErrnoToWinSock(err)).
inline WsStatus MapErrno(int err) {
  return MapWinSockError(ErrnoToWinSock(err));
}

}  // namespace vantor
