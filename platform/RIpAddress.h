// IP address texts of both families: parsing, printing and prefix matching.
//
// Everything above the socket layer keeps addresses as text. An IPv4 client
// reached through a dual-stack socket arrives as "::ffff:a.b.c.d"; the
// helpers here fold such an address into plain IPv4 so that it is shown,
// logged and matched exactly like one that came in over IPv4. Pure
// functions, any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantor {

struct RIpAddrStr {
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};  // IPv4: the first four, network order

  bool operator==(const RIpAddrStr&) const = default;
};

// Strict dotted quad: four decimal numbers 0..255 and nothing else.
[[nodiscard]] bool ParseIPv4Text(std::string_view text, RIpAddrStr& out);
// An IPv6 text (RFC 4291 forms, no zone, no brackets). A v4-mapped address
// stays IPv6 here; see ParseIpText.
[[nodiscard]] bool ParseIPv6Text(std::string_view text, RIpAddrStr& out);
// Either family; a v4-mapped IPv6 address comes back as plain IPv4.
[[nodiscard]] bool ParseIpText(std::string_view text, RIpAddrStr& out);

// "a.b.c.d" or the RFC 5952 form of an IPv6 address.
std::string IpText(const RIpAddrStr& addr);

// The text as the rest of the program shows it: "::ffff:1.2.3.4" becomes
// "1.2.3.4"; anything else is returned unchanged.
std::string PlainAddressText(std::string_view text);

// True when the text holds a colon (IPv6), without checking it further.
inline bool IsIPv6Text(std::string_view text) {
  return text.find(':') != std::string_view::npos;
}

// Whether `addr` lies inside `prefix`/`bits` (same family only; bits beyond
// the family's width never match).
bool InPrefix(const RIpAddrStr& addr, const RIpAddrStr& prefix, int bits);

// Parses "address" or "address/bits" (either family; a v4-mapped prefix is
// folded like an address, its bits minus 96). False on anything else.
[[nodiscard]] bool ParseCidrText(std::string_view text, RIpAddrStr& prefix, int& bits);

}  // namespace vantor
