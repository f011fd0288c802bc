// The PROXY protocol header (versions 1 and 2) that a load balancer puts in
// front of the bytes of a connection it forwards, and the list of addresses
// that are allowed to send one (`ProxyProtocolFrom`).
//
// The parser is incremental: it is shown the bytes received so far and says
// whether they form a whole header, cannot become one, or how many more
// bytes must come before it can tell. Asking for no more than that is what
// lets the reader take the header off the socket without swallowing the
// first bytes of the client's own conversation. Pure functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RIpAddress.h"

namespace vantor {

// The text form is one line of at most 107 bytes, CR LF included.
inline constexpr size_t kProxyV1MaxBytes = 107;
// The binary form announces its own length; 16 fixed bytes plus addresses
// and extensions. More than this is refused rather than buffered: the
// addresses take at most 216 bytes and the extensions load balancers add
// are far below the rest.
inline constexpr size_t kProxyV2MaxBytes = 1024;
// A fresh connection is read this far before anything can be decided: the
// shortest header ("PROXY UNKNOWN" CR LF) is 15 bytes long.
inline constexpr size_t kProxyFirstRead = 15;

enum class RProxyParse {
  Incomplete,  // a header so far; `need` more bytes at least
  Done,        // a whole header of `length` bytes
  Malformed,   // not a header, or one that breaks the format
  TooLong,     // longer than the limits above
};

struct RProxyHeaderStr {
  // False for the LOCAL command, the UNKNOWN protocol and families without
  // an IP address (UNIX, unspecified): the connection's own peer stands.
  bool hasAddress = false;
  int version = 0;            // 1 or 2
  std::string clientAddress;  // plain text (v4-mapped shown as IPv4)
  uint16_t clientPort = 0;
  std::string serverAddress;  // the address the client connected to
  uint16_t serverPort = 0;
  size_t length = 0;  // bytes the header takes
};

// Looks at `bytes` from the start of a connection. `need` is set for
// Incomplete only. Bytes beyond a complete header are not looked at.
[[nodiscard]] RProxyParse ParseProxyHeader(std::string_view bytes, RProxyHeaderStr& out,
                                           size_t& need);

// One `ProxyProtocolFrom` entry: an address, or a prefix "a.b.c.d/n",
// "2001:db8::/32".
struct RProxySourceStr {
  RIpAddrStr prefix;
  int bits = 0;
};

// Splits the comma list; entries that are not an address or prefix are
// returned in `rejected` (as written, blanks trimmed) and left out.
std::vector<RProxySourceStr> ParseProxySources(std::string_view list,
                                               std::vector<std::string>* rejected = nullptr);

// Whether the peer address text (either family, v4-mapped folded) is listed.
bool ProxySourceListed(const std::vector<RProxySourceStr>& sources, std::string_view peer);

}  // namespace vantor
