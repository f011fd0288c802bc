// IP access patterns and the process-wide name-matching switch.
//
// A pattern is dotted numeric (up to four components, each "*", "low-high"
// or a number; fewer components match every address that begins with them)
// and, when it holds letters, also a wildcard pattern for the client's host
// name. A pattern with a colon is IPv6: an address or a prefix
// ("2001:db8::/32"). IPv4 patterns also match v4-mapped IPv6 addresses;
// "*" matches every address of both families.
#pragma once

#include <functional>
#include <string_view>

namespace vantor {

// Matches one pattern against the client's address text and host name. May
// turn the name-matching switch on (a letter at the pattern's second or a
// later character). Blanks and tabs around the pattern are ignored.
// Malformed patterns never match.
bool IPPatternMatches(std::string_view pattern, std::string_view address, std::string_view host);

// The name-matching switch: off at start, on for good once a pattern naming
// a host has been matched. While on, the connection code looks up client
// host names before asking the IP access query.
bool IPNameMatchingOn();
// Called once, when the switch turns on (nullptr: no callback). Loop thread.
void SetIPNameMatchingListener(std::function<void()> onSwitchedOn);
// For tests: back to off.
void ResetIPNameMatchingForTest();

}  // namespace vantor
