// Argument handling of the data-connection commands PORT, PASV, EPRT and
// EPSV.
//
// Pure functions: they parse and format text and never touch a socket, so the
// session's handlers stay short and the rules can be tested from tables.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantor {

// The six numbers of "PORT h1,h2,h3,h4,p1,p2".
struct RPortArgsStr {
  std::array<int, 4> host{};
  uint16_t port = 0;

  std::string AddressText() const;  // "%d.%d.%d.%d"
};

// Parses a whole PORT command line: the verb is skipped as one word of at
// most five characters, then exactly six comma-separated decimal numbers,
// each 0 to 255, must follow (blanks may precede each number; text after the
// sixth number is ignored). False leaves `out` unchanged.
[[nodiscard]] bool ParsePortLine(std::string_view line, RPortArgsStr& out);

// Outcome of PORT against the current data address.
struct RPortDecisionStr {
  bool bounceRefused = false;   // kReplyPortForeignAddress; address reset to the peer
  bool lowPortRefused = false;  // a port below 1024 under bounce blocking
  std::string dataAddress;      // the DataAddress to keep
  uint16_t dataPort = 0;        // the DataPort to keep
};

// Applies parsed PORT numbers: with `blockBounce` on, an address that differs
// (exact text) from `peerAddress` is refused, the data address becomes the
// peer's and the previous port stays; so is a port below 1024
// (IsPrivilegedDataPort), which would let a client make the server talk to
// a service such as mail on its own machine.
bool IsPrivilegedDataPort(uint16_t port);
RPortDecisionStr DecidePort(const RPortArgsStr& args, bool blockBounce,
                            std::string_view peerAddress, uint16_t oldPort);
// The same rule for an address of either family (EPRT): `address` must be in
// the form the session shows (plain IPv4, or RFC 5952 IPv6).
RPortDecisionStr DecideDataAddress(std::string_view address, uint16_t port, bool blockBounce,
                                   std::string_view peerAddress, uint16_t oldPort);

// Whether a passive data connection from `peerAddress` may serve a session
// whose control connection comes from `clientAddress` (both in the form the
// session shows): with the check on (`PassivePeerCheck`) only the client's
// own address; off, anyone (server-to-server transfers).
bool PassivePeerAllowed(bool check, std::string_view peerAddress, std::string_view clientAddress);

// Reads "%d.%d.%d.%d" from a dotted address text. False when four numbers do
// not result (the PASV 500 case).
[[nodiscard]] bool ParseDottedQuad(std::string_view text, std::array<int, 4>& out);

// "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d)" for the address and port.
std::string PasvReplyText(const std::array<int, 4>& addr, uint16_t port);

// EPRT |proto|address|port| (RFC 2428): the delimiter is the argument's
// first character (ASCII 33..126), protocol 1 takes a strict dotted quad, protocol 2 an IPv6
// address (a v4-mapped one comes back as plain IPv4), the port is 1..65535.
struct REprtArgsStr {
  int protocol = 0;     // 1 IPv4, 2 IPv6
  std::string address;  // as the session shows addresses
  uint16_t port = 0;
};
enum class RNetArgResult {
  Ok,
  Syntax,    // 501
  Protocol,  // 522: a protocol number this server does not know
};
[[nodiscard]] RNetArgResult ParseEprtArgument(std::string_view arg, REprtArgsStr& out);

// EPSV's argument: none (protocol 0: the control connection's), "1", "2" or
// "ALL" (any letter case).
struct REpsvArgsStr {
  bool all = false;
  int protocol = 0;
};
[[nodiscard]] RNetArgResult ParseEpsvArgument(std::string_view arg, REpsvArgsStr& out);

// "229 Entering Extended Passive Mode (|||port|)".
std::string EpsvReplyText(uint16_t port);

}  // namespace vantor
