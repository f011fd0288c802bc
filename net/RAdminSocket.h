// The listening sockets of the administration endpoint and what it asks of
// an accepted connection (the peer's credentials and address). The HTTP
// library accepts on these sockets itself; everything else about them is
// here, so the endpoint's own socket calls stay in this layer.
// Any thread; the calls keep no state.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/RFd.h"

namespace vantor {

// A listening Unix socket at `path`: a stale socket file left by an earlier
// run is removed first (any other kind of file is not: the call fails),
// then the socket is bound, given `mode` and, when `gid` is set, that group,
// and listens. Invalid RFd and the reason in `error` on failure; no file is
// left behind then.
RFd ListenUnixSocket(const std::string& path, uint32_t mode, std::optional<uint32_t> gid,
                     std::string* error);
// Gives the socket file at `path` the group `gid` (nullopt: the process's
// own), its mode unchanged; false with the reason when it cannot.
bool SetUnixSocketGroup(const std::string& path, std::optional<uint32_t> gid, std::string* error);
// Removes the socket file at `path` when it is one (at shutdown).
void RemoveUnixSocket(const std::string& path);

// "address:port", "[v6address]:port" or ":port" (every address) as a
// socket address; false for anything else.
struct RListenAddrStr {
  sockaddr_storage addr{};
  socklen_t len = 0;
  bool loopback = false;  // 127.0.0.0/8 or ::1
  std::string text;       // as written
};
bool ParseListenAddress(const std::string& text, RListenAddrStr* out);
// A listening TCP socket on `a` (address reuse on, IPv6 only for IPv6).
RFd ListenTcpSocket(const RListenAddrStr& a, std::string* error);

// The uid of the process at the other end of a connected Unix socket.
std::optional<uint32_t> PeerUid(int fd);
// The peer's address as text ("" for a Unix socket's peer).
std::string PeerAddressText(const sockaddr* sa);
// The group's id; nullopt when no such group exists.
std::optional<uint32_t> GroupIdOf(const std::string& name);

}  // namespace vantor
