#include "net/RSockCalls.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cstring>

#include "net/RNetStrings.h"
#include "net/RSocketLayer.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

uintptr_t P(const void* p) {
  return reinterpret_cast<uintptr_t>(p);
}

const char* LevelName(int level) {
  if (level == SOL_SOCKET) return "SOL_SOCKET";
  if (level == IPPROTO_TCP) return "IPPROTO_TCP";
  if (level == IPPROTO_IPV6) return "IPPROTO_IPV6";
  return "<<INVALID>>";
}

const char* OptionName(int level, int option) {
  if (level == IPPROTO_TCP) {
    if (option == TCP_NODELAY) return "TCP_NODELAY";
    return option == TCP_QUICKACK ? "TCP_QUICKACK" : "<<INVALID>>";
  }
  if (level == IPPROTO_IPV6) return option == IPV6_V6ONLY ? "IPV6_V6ONLY" : "<<INVALID>>";
  if (level != SOL_SOCKET) return "<<INVALID>>";
  switch (option) {
    case SO_ACCEPTCONN:
      return "SO_ACCEPTCONN";
    case SO_BROADCAST:
      return "SO_BROADCAST";
    case SO_DEBUG:
      return "SO_DEBUG";
    case SO_DONTROUTE:
      return "SO_DONTROUTE";
    case SO_ERROR:
      return "SO_ERROR";
    case SO_KEEPALIVE:
      return "SO_KEEPALIVE";
    case SO_LINGER:
      return "SO_LINGER";
    case SO_OOBINLINE:
      return "SO_OOBINLINE";
    case SO_RCVBUF:
      return "SO_RCVBUF";
    case SO_RCVLOWAT:
      return "SO_RCVLOWAT";
    case SO_REUSEADDR:
      return "SO_REUSEADDR";
    case SO_SNDBUF:
      return "SO_SNDBUF";
    case SO_TYPE:
      return "SO_TYPE";
    default:
      return "<<INVALID>>";
  }
}

}  // namespace

std::string EventMaskName(uint32_t events) {
  if (events == 0) return "<<NONE>>";
  static constexpr const char* kNames[] = {"FD_READ ",   "FD_WRITE ",   "FD_OOB ",
                                           "FD_ACCEPT ", "FD_CONNECT ", "FD_CLOSE"};
  std::string s;
  for (int bit = 0; bit < 6; ++bit) {
    if (events & (1u << bit)) s += kNames[bit];
  }
  return s;
}

bool RSockCalls::Tracing() const {
  return collect_ != nullptr || (layer_ != nullptr && layer_->TraceOn());
}
void RSockCalls::Trace(const std::string& line) const {
  if (collect_ != nullptr) {
    collect_->push_back(line);
  } else {
    layer_->Trace(tag_, line);
  }
}
std::string RSockCalls::ErrName() const {
  return WinSockErrorName(err);
}

socklen_t SockAddrLen(const RSockAddr& a) {
  return a.sa.sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

std::string SockAddrText(const RSockAddr& a) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (a.sa.sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &a.v4.sin_addr, buf, sizeof(buf));
    return buf;
  }
  if (a.sa.sa_family != AF_INET6) return std::string();
  if (IN6_IS_ADDR_V4MAPPED(&a.v6.sin6_addr)) {
    ::inet_ntop(AF_INET, &a.v6.sin6_addr.s6_addr[12], buf, sizeof(buf));
  } else {
    ::inet_ntop(AF_INET6, &a.v6.sin6_addr, buf, sizeof(buf));
  }
  return buf;
}

uint16_t SockAddrPort(const RSockAddr& a) {
  if (a.sa.sa_family == AF_INET6) return ntohs(a.v6.sin6_port);
  if (a.sa.sa_family == AF_INET) return ntohs(a.v4.sin_port);
  return 0;
}

bool SockAddrAny(const RSockAddr& a) {
  if (a.sa.sa_family == AF_INET6) return IN6_IS_ADDR_UNSPECIFIED(&a.v6.sin6_addr);
  return a.sa.sa_family != AF_INET || a.v4.sin_addr.s_addr == htonl(INADDR_ANY);
}

int RSockCalls::Socket(int type, int family) {
  int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
  err = fd < 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    const char* tn = type == SOCK_STREAM  ? "SOCK_STREAM"
                     : type == SOCK_DGRAM ? "SOCK_DGRAM"
                                          : "<<INVALID>>";
    Trace(FormatStr(STR_NET_C_SOCKET, id_, family == AF_INET6 ? "PF_INET6" : "PF_INET", tn, 0,
                    static_cast<unsigned>(fd), ErrName()));
  }
  return fd;
}

int RSockCalls::NonBlock(int fd) {
  int one = 1;
  int r = ::ioctl(fd, FIONBIO, &one);
  err = r != 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_IOCTLSOCKET, id_, static_cast<unsigned>(fd), "FIONBIO", P(&one), r,
                    ErrName()));
  }
  return r;
}

int RSockCalls::Bind(int fd, const RSockAddr& addr) {
  int r = ::bind(fd, &addr.sa, SockAddrLen(addr));
  err = r != 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_BIND, id_, static_cast<unsigned>(fd), P(&addr),
                    static_cast<int>(SockAddrLen(addr)), r, ErrName()));
  }
  return r;
}

int RSockCalls::Listen(int fd, int backlog) {
  int r = ::listen(fd, backlog);
  err = r != 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_LISTEN, id_, static_cast<unsigned>(fd), backlog, r, ErrName()));
  }
  return r;
}

int RSockCalls::Accept(int fd, RSockAddr* peer) {
  int r;
  do {
    socklen_t len = sizeof(*peer);
    r = ::accept4(fd, &peer->sa, &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (r < 0 && errno == EINTR);
  err = r < 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_ACCEPT, id_, static_cast<unsigned>(fd), 0u, 0u,
                    static_cast<unsigned>(r), ErrName()));
  }
  return r;
}

int RSockCalls::Connect(int fd, const RSockAddr& addr) {
  int r = ::connect(fd, &addr.sa, SockAddrLen(addr));
  int e = r != 0 ? errno : 0;
  // A non-blocking connect under way is what WinSock calls "would block".
  if (e == EINPROGRESS || e == EINTR) e = EAGAIN;
  err = ErrnoToWinSock(e);
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_CONNECT, id_, static_cast<unsigned>(fd), P(&addr),
                    static_cast<int>(SockAddrLen(addr)), r, ErrName()));
  }
  return r;
}

int64_t RSockCalls::Send(int fd, const void* p, int64_t n) {
  ssize_t r;
  do {
    r = ::send(fd, p, static_cast<size_t>(n), MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  err = r < 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_SEND, id_, static_cast<unsigned>(fd), P(p), n, 0,
                    static_cast<int64_t>(r), ErrName()));
  }
  return r;
}

int64_t RSockCalls::SendTo(int fd, const void* p, int64_t n, const RSockAddr& to) {
  ssize_t r;
  do {
    r = ::sendto(fd, p, static_cast<size_t>(n), MSG_NOSIGNAL, &to.sa, SockAddrLen(to));
  } while (r < 0 && errno == EINTR);
  err = r < 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_SENDTO, id_, static_cast<unsigned>(fd), P(p), n, 0, P(&to),
                    static_cast<int>(SockAddrLen(to)), static_cast<int64_t>(r), ErrName()));
  }
  return r;
}

int64_t RSockCalls::SendFile(int fd, int fileFd, int64_t* offset, int64_t n) {
  off_t off = static_cast<off_t>(*offset);
  ssize_t r;
  do {
    r = ::sendfile(fd, fileFd, &off, static_cast<size_t>(n));
  } while (r < 0 && errno == EINTR);
  err = r < 0 ? ErrnoToWinSock(errno) : 0;
  if (r > 0) *offset = off;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_SENDFILE, id_, static_cast<unsigned>(fd), fileFd, P(offset), n,
                    static_cast<int64_t>(r), ErrName()));
  }
  return r;
}

int64_t RSockCalls::Recv(int fd, void* p, int64_t n) {
  ssize_t r;
  do {
    r = ::recv(fd, p, static_cast<size_t>(n), 0);
  } while (r < 0 && errno == EINTR);
  err = r < 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_RECV, id_, static_cast<unsigned>(fd), P(p), n, 0,
                    static_cast<int64_t>(r), ErrName()));
  }
  return r;
}

int64_t RSockCalls::SpliceIn(int fd, int pipeFd, int64_t n) {
  ssize_t r;
  do {
    r = ::splice(fd, nullptr, pipeFd, nullptr, static_cast<size_t>(n),
                 SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  } while (r < 0 && errno == EINTR);
  err = r < 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_SPLICE, id_, static_cast<unsigned>(fd), pipeFd, n,
                    static_cast<int64_t>(r), ErrName()));
  }
  return r;
}

int64_t RSockCalls::RecvFrom(int fd, void* p, int64_t n, RSockAddr* from) {
  socklen_t len = sizeof(*from);
  ssize_t r;
  do {
    // MSG_TRUNC makes an over-long datagram visible instead of silently cut.
    r = ::recvfrom(fd, p, static_cast<size_t>(n), MSG_TRUNC, &from->sa, &len);
  } while (r < 0 && errno == EINTR);
  err = r < 0 ? ErrnoToWinSock(errno) : 0;
  if (r > n) {
    err = ErrnoToWinSock(EMSGSIZE);
  }
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_RECVFROM, id_, static_cast<unsigned>(fd), P(p), n, 0, P(from),
                    P(&len), static_cast<int64_t>(r), ErrName()));
  }
  if (r > n) return -1;
  return r;
}

int RSockCalls::Shutdown(int fd, int how) {
  int r = ::shutdown(fd, how);
  err = r != 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_SHUTDOWN, id_, static_cast<unsigned>(fd), how, r, ErrName()));
  }
  return r;
}

int RSockCalls::Close(int fd) {
  // Never retried: after EINTR the fd is gone already.
  int r = ::close(fd);
  err = r != 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_CLOSESOCKET, id_, static_cast<unsigned>(fd), r, ErrName()));
  }
  return r;
}

int RSockCalls::SetOpt(int fd, int level, int option, int value) {
  int r = ::setsockopt(fd, level, option, &value, sizeof(value));
  err = r != 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_SETSOCKOPT, id_, static_cast<unsigned>(fd), LevelName(level),
                    OptionName(level, option), P(&value), static_cast<int>(sizeof(value)), r,
                    ErrName()));
  }
  return r;
}

int RSockCalls::SetLinger(int fd, bool on, int seconds) {
  linger l{};
  l.l_onoff = on ? 1 : 0;
  l.l_linger = seconds;
  int r = ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  err = r != 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_SETSOCKOPT, id_, static_cast<unsigned>(fd), "SOL_SOCKET", "SO_LINGER",
                    P(&l), static_cast<int>(sizeof(l)), r, ErrName()));
  }
  return r;
}

int RSockCalls::GetOpt(int fd, int level, int option, int* value) {
  socklen_t len = sizeof(*value);
  int r = ::getsockopt(fd, level, option, value, &len);
  err = r != 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_GETSOCKOPT, id_, static_cast<unsigned>(fd), LevelName(level),
                    OptionName(level, option), P(value), P(&len), r, ErrName()));
  }
  return r;
}

int RSockCalls::GetSockName(int fd, RSockAddr* addr) {
  socklen_t len = sizeof(*addr);
  int r = ::getsockname(fd, &addr->sa, &len);
  err = r != 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_GETSOCKNAME, id_, static_cast<unsigned>(fd), P(addr), P(&len), r,
                    ErrName()));
  }
  return r;
}

int RSockCalls::GetPeerName(int fd, RSockAddr* addr) {
  socklen_t len = sizeof(*addr);
  int r = ::getpeername(fd, &addr->sa, &len);
  err = r != 0 ? ErrnoToWinSock(errno) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_GETPEERNAME, id_, static_cast<unsigned>(fd), P(addr), P(&len), r,
                    ErrName()));
  }
  return r;
}

int RSockCalls::AsyncSelect(int fd, uint32_t window, uint32_t message, uint32_t events,
                            uint32_t readyNow) {
  int r = layer_->Loop().AsyncSelect(fd, window, message, events, readyNow);
  err = r != 0 ? ErrnoToWinSock(-r) : 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_ASYNCSELECT, id_, static_cast<unsigned>(fd), static_cast<int>(window),
                    message, EventMaskName(events), r != 0 ? -1 : 0, ErrName()));
  }
  return r;
}

void RSockCalls::Unregister(int fd, uint32_t window, uint32_t message) {
  layer_->Loop().Forget(fd);
  err = 0;
  if (Tracing()) {
    Trace(FormatStr(STR_NET_C_ASYNCSELECT, id_, static_cast<unsigned>(fd), static_cast<int>(window),
                    message, EventMaskName(0), 0, ErrName()));
  }
}

uint32_t RSockCalls::InetAddr(const char* text) {
  in_addr a{};
  uint32_t r = INADDR_NONE;
  if (text != nullptr && ::inet_pton(AF_INET, text, &a) == 1) r = a.s_addr;
  if (Tracing()) Trace(FormatStr(STR_NET_C_INET_ADDR, id_, text != nullptr ? text : "", r));
  return r;
}

bool RSockCalls::MakeAddr(const char* text, uint16_t port, RSockAddr& out) {
  out = RSockAddr{};
  if (text != nullptr && std::strchr(text, ':') != nullptr) {
    out.v6.sin6_family = AF_INET6;
    out.v6.sin6_port = Htons(port);
    const bool ok = ::inet_pton(AF_INET6, text, &out.v6.sin6_addr) == 1;
    if (Tracing()) Trace(FormatStr(STR_NET_C_INET_PTON, id_, text, ok ? "OK" : "invalid"));
    return ok;
  }
  out.v4.sin_family = AF_INET;
  out.v4.sin_port = Htons(port);
  out.v4.sin_addr.s_addr = InetAddr(text);
  return out.v4.sin_addr.s_addr != INADDR_NONE;
}

std::string RSockCalls::InetNtoa(in_addr a) {
  char buf[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, buf, sizeof(buf));
  if (Tracing()) Trace(FormatStr(STR_NET_C_INET_NTOA, id_, buf));
  return buf;
}

uint16_t RSockCalls::Htons(uint16_t v) {
  uint16_t r = htons(v);
  if (Tracing()) Trace(FormatStr(STR_NET_C_HTONS, id_, v, r));
  return r;
}

uint16_t RSockCalls::Ntohs(uint16_t v) {
  uint16_t r = ntohs(v);
  if (Tracing()) Trace(FormatStr(STR_NET_C_NTOHS, id_, v, r));
  return r;
}

}  // namespace vantor
