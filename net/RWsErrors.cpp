// Status names and the error-number translations of the socket layer.
#include <errno.h>
#include <netdb.h>

#include <string>

#include "net/RWsErrors.h"

namespace vantor {

const char* WsStatusName(int status) {
  switch (status) {
#define X(name, number) \
  case number:          \
    return #name;
    VANTOR_WS_STATUS_LIST(X)
#undef X
    default:
      return "?????";
  }
}

WsStatus MapWinSockError(int wsaError) {
  switch (wsaError) {
    case 0:
      return WS_OK;
    case WSAENETDOWN:
      return WS_NoNetwork;
    case WSAEADDRINUSE:
      return WS_PortUsed;
    case WSAENOTSOCK:
    case WSAENOBUFS:
      return WS_NoSocket;
    case WSAEINVAL:
      return WS_NoListen;
    case WSAHOST_NOT_FOUND:
      return WS_HostUnknown;
    case WSAECONNREFUSED:
      return WS_ConRefused;
    case WSAETIMEDOUT:
      return WS_Timeout;
    case WSAECONNABORTED:
    case WSAENOTCONN:
      return WS_NotCon;
    case WSAECONNRESET:
      return WS_Reset;
    case WSAEMSGSIZE:
      return WS_TooLarge;
    case WSAEADDRNOTAVAIL:
      return WS_UnknownIP;
    default:
      return WS_Error;
  }
}

int ErrnoToWinSock(int err) {
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return WSAEINTR;
    case EBADF:
      return WSAEBADF;
    case EPERM:
    case EACCES:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EAGAIN:
      return WSAEWOULDBLOCK;
    case EINPROGRESS:
      return WSAEINPROGRESS;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    // A send after the peer reset the connection reports EPIPE here; WinSock
    // reports the reset itself.
    case EPIPE:
    case ECONNRESET:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    case ETOOMANYREFS:
      return WSAETOOMANYREFS;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ELOOP:
      return WSAELOOP;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    case ENOTEMPTY:
      return WSAENOTEMPTY;
    case EUSERS:
      return WSAEUSERS;
    case EDQUOT:
      return WSAEDQUOT;
    case ESTALE:
      return WSAESTALE;
    case EREMOTE:
      return WSAEREMOTE;
    default:
      return err;  // kept raw so the trace shows it
  }
}

int EaiToWinSock(int eaiCode) {
  switch (eaiCode) {
    case 0:
      return 0;
    // No IPv4 address for the name is, for this layer, an unknown host.
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
      return WSANO_RECOVERY;
    case EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_SYSTEM:
      return ErrnoToWinSock(errno);
    default:
      return WSANO_RECOVERY;
  }
}

std::string WinSockErrorName(int wsaError) {
  switch (wsaError) {
    case 0:
      return "OK";
#define X(name, number) \
  case number:          \
    return #name;
      VANTOR_WSA_ERROR_LIST(X)
#undef X
    default:
      return std::to_string(wsaError);
  }
}

}  // namespace vantor
