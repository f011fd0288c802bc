// The socket layer's system calls, one wrapper each. Every wrapper makes the
// call, keeps the WinSock-numbered error of the call in `err` (0 on
// success) and, with tracing on, sends the call's trace line. EINTR is
// retried inside. Internal to net/.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vantor {

class RSocketLayer;

// One socket address of either family.
union RSockAddr {
  sockaddr sa;
  sockaddr_in v4;
  sockaddr_in6 v6;
  sockaddr_storage any;
};
socklen_t SockAddrLen(const RSockAddr& a);
// The address as the rest of the program shows it: dotted IPv4, RFC 5952
// IPv6, and a v4-mapped IPv6 address (an IPv4 peer of a dual-stack socket)
// as plain IPv4. "" for anything else.
std::string SockAddrText(const RSockAddr& a);
uint16_t SockAddrPort(const RSockAddr& a);
// Whether the address is the unspecified one of its family (0.0.0.0, ::).
bool SockAddrAny(const RSockAddr& a);

class RSockCalls {
 public:
  RSockCalls(RSocketLayer* layer, uint32_t id, intptr_t tag) : layer_(layer), id_(id), tag_(tag) {}
  // For a data thread: no layer is touched; with `collect` set, every call's
  // trace line is kept there for the loop to send once the step is back.
  static RSockCalls OffLoop(std::vector<std::string>* collect, uint32_t id) {
    RSockCalls c(nullptr, id, 0);
    c.collect_ = collect;
    return c;
  }

  int err = 0;  // WinSock number of the last call's error

  // AF_INET or AF_INET6; non-blocking is set separately (NonBlock).
  int Socket(int type, int family = AF_INET);
  int NonBlock(int fd);
  int Bind(int fd, const RSockAddr& addr);
  int Listen(int fd, int backlog);
  // The accepted socket is already non-blocking; `peer` gets its address.
  int Accept(int fd, RSockAddr* peer);
  int Connect(int fd, const RSockAddr& addr);  // EINPROGRESS counts as success
  int64_t Send(int fd, const void* p, int64_t n);
  int64_t SendTo(int fd, const void* p, int64_t n, const RSockAddr& to);
  int64_t SendFile(int fd, int fileFd, int64_t* offset, int64_t n);
  int64_t Recv(int fd, void* p, int64_t n);
  // Moves up to `n` bytes from the socket into the pipe `pipeFd` without
  // copying them through user memory (non-blocking on both sides).
  int64_t SpliceIn(int fd, int pipeFd, int64_t n);
  int64_t RecvFrom(int fd, void* p, int64_t n, RSockAddr* from);
  int Shutdown(int fd, int how);
  int Close(int fd);
  int SetOpt(int fd, int level, int option, int value);
  int SetLinger(int fd, bool on, int seconds);
  int GetOpt(int fd, int level, int option, int* value);
  int GetSockName(int fd, RSockAddr* addr);
  int GetPeerName(int fd, RSockAddr* addr);
  // The readiness registration (the loop's asynchronous select).
  int AsyncSelect(int fd, uint32_t window, uint32_t message, uint32_t events,
                  uint32_t readyNow = 0);
  // Ends the registration of a descriptor that is closed next (traced as the
  // registration with no events, which is what it amounts to).
  void Unregister(int fd, uint32_t window, uint32_t message);
  // INADDR_NONE (network order) when `text` is not a dotted address.
  uint32_t InetAddr(const char* text);
  // Fills `out` (family, address, port) from an address text of either
  // family; false when the text is neither. IPv4 texts go through InetAddr,
  // so their trace stays as it was.
  bool MakeAddr(const char* text, uint16_t port, RSockAddr& out);
  std::string InetNtoa(in_addr a);
  uint16_t Htons(uint16_t v);
  uint16_t Ntohs(uint16_t v);

 private:
  bool Tracing() const;
  void Trace(const std::string& line) const;
  std::string ErrName() const;

  RSocketLayer* layer_;
  uint32_t id_;
  intptr_t tag_;
  std::vector<std::string>* collect_ = nullptr;
};

// "FD_READ FD_WRITE ..." as the trace names an event mask; "<<NONE>>" for 0.
std::string EventMaskName(uint32_t events);

}  // namespace vantor
