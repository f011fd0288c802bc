// Status names and the error-number translations of the socket layer.
#include <errno.h>
#include <netdb.h>

#include <string>

#include "net/RWinSocket.h"

namespace vantor {
namespace {

constexpr const char* kStatusNames[] = {
    "WS_OK",          "WS_Listening", "WS_Receiving", "WS_Sending",    "WS_Connecting",
    "WS_Service",     "WS_Closing",   "WS_WrongType", "WS_NoSockLib",  "WS_NoSocket",
    "WS_NoNetwork",   "WS_NoNotify",  "WS_PortUsed",  "WS_NoCaller",   "WS_NoListen",
    "WS_HostUnknown", "WS_Busy",      "WS_NotCon",    "WS_ConRefused", "WS_Reset",
    "WS_Error",       "WS_TooLarge",  "WS_UnknownIP", "WS_SoftClose",  "WS_Closed",
    "WS_Timeout",     "WS_More",      "WS_Nothing",   "WS_Aborted",    "WS_TimerTick",
    "WS_Notify",      "WS_Securing",
};

struct RErrName {
  int number;
  const char* name;
};

constexpr RErrName kWinSockNames[] = {
    {10000, "WSABASEERR"},         {10004, "WSAEINTR"},           {10009, "WSAEBADF"},
    {10013, "WSAEACCES"},          {10014, "WSAEFAULT"},          {10022, "WSAEINVAL"},
    {10024, "WSAEMFILE"},          {10035, "WSAEWOULDBLOCK"},     {10036, "WSAEINPROGRESS"},
    {10037, "WSAEALREADY"},        {10038, "WSAENOTSOCK"},        {10039, "WSAEDESTADDRREQ"},
    {10040, "WSAEMSGSIZE"},        {10041, "WSAEPROTOTYPE"},      {10042, "WSAENOPROTOOPT"},
    {10043, "WSAEPROTONOSUPPORT"}, {10044, "WSAESOCKTNOSUPPORT"}, {10045, "WSAEOPNOTSUPP"},
    {10046, "WSAEPFNOSUPPORT"},    {10047, "WSAEAFNOSUPPORT"},    {10048, "WSAEADDRINUSE"},
    {10049, "WSAEADDRNOTAVAIL"},   {10050, "WSAENETDOWN"},        {10051, "WSAENETUNREACH"},
    {10052, "WSAENETRESET"},       {10053, "WSAECONNABORTED"},    {10054, "WSAECONNRESET"},
    {10055, "WSAENOBUFS"},         {10056, "WSAEISCONN"},         {10057, "WSAENOTCONN"},
    {10058, "WSAESHUTDOWN"},       {10059, "WSAETOOMANYREFS"},    {10060, "WSAETIMEDOUT"},
    {10061, "WSAECONNREFUSED"},    {10062, "WSAELOOP"},           {10063, "WSAENAMETOOLONG"},
    {10064, "WSAEHOSTDOWN"},       {10065, "WSAEHOSTUNREACH"},    {10066, "WSAENOTEMPTY"},
    {10067, "WSAEPROCLIM"},        {10068, "WSAEUSERS"},          {10069, "WSAEDQUOT"},
    {10070, "WSAESTALE"},          {10071, "WSAEREMOTE"},         {10091, "WSASYSNOTREADY"},
    {10092, "WSAVERNOTSUPPORTED"}, {10093, "WSANOTINITIALISED"},  {10101, "WSAEDISCON"},
    {11001, "WSAHOST_NOT_FOUND"},  {11002, "WSATRY_AGAIN"},       {11003, "WSANO_RECOVERY"},
    {11004, "WSANO_DATA"},
};

}  // namespace

const char* WsStatusName(int status) {
  if (status < 0 || status > WS_Securing) return "?????";
  return kStatusNames[status];
}

WsStatus MapWinSockError(int wsaError) {
  switch (wsaError) {
    case 0:
      return WS_OK;
    case 10050:
      return WS_NoNetwork;
    case 10048:
      return WS_PortUsed;
    case 10038:
    case 10055:
      return WS_NoSocket;
    case 10022:
      return WS_NoListen;
    case 11001:
      return WS_HostUnknown;
    case 10061:
      return WS_ConRefused;
    case 10060:
      return WS_Timeout;
    case 10053:
    case 10057:
      return WS_NotCon;
    case 10054:
      return WS_Reset;
    case 10040:
      return WS_TooLarge;
    case 10049:
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
      return 10004;
    case EBADF:
      return 10009;
    case EPERM:
    case EACCES:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
    case ENFILE:
      return 10024;
    case EAGAIN:
      return 10035;
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    // A send after the peer reset the connection reports EPIPE here; WinSock
    // reports the reset itself.
    case EPIPE:
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case ESHUTDOWN:
      return 10058;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    case ENOTEMPTY:
      return 10066;
    case EUSERS:
      return 10068;
    case EDQUOT:
      return 10069;
    case ESTALE:
      return 10070;
    case EREMOTE:
      return 10071;
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
      return 11001;
    case EAI_AGAIN:
      return 11002;
    case EAI_FAIL:
      return 11003;
    case EAI_MEMORY:
      return 10055;
    case EAI_SYSTEM:
      return ErrnoToWinSock(errno);
    default:
      return 11003;
  }
}

std::string WinSockErrorName(int wsaError) {
  if (wsaError == 0) return "OK";
  for (const RErrName& e : kWinSockNames) {
    if (e.number == wsaError) return e.name;
  }
  return std::to_string(wsaError);
}

}  // namespace vantor
