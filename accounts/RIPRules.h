// IP access patterns and the name-matching switch of their owner.
//
// A pattern is dotted numeric (up to four components, each "*", "low-high"
// or a number; fewer components match every address that begins with them)
// and, when it holds letters, also a wildcard pattern for the client's host
// name. A pattern with a colon is IPv6: an address or a prefix
// ("2001:db8::/32"). IPv4 patterns also match v4-mapped IPv6 addresses;
// "*" matches every address of both families.
#pragma once

#include <string_view>

namespace vantor {

// Whether `pattern` (blanks around it ignored) is one Matches() reads: an
// IPv6 address or prefix, a host-name wildcard (it holds a letter), or up to
// four dotted components of "*", 0..255 or "low-high". Anything else never
// matches any client.
bool IPPatternParses(std::string_view pattern);
// Whether `rule` is "A,pattern" or "D,pattern" (either case) with a pattern
// that parses.
bool IPRuleParses(std::string_view rule);

// Matches IP access patterns for one owner (the account store) and holds
// that owner's name-matching switch: off at start, on for good once a
// pattern naming a host was matched (a letter at the pattern's second or a
// later character). While it is on, patterns are also tried against host
// names and the connection code looks client host names up before asking
// the IP access query. The store lives as long as the program runs, so the
// switch never goes back to off while it does. Loop thread only.
class RIPMatcher {
 public:
  // Matches one pattern against the client's address text and host name.
  // May turn the switch on. Blanks and tabs around the pattern are
  // ignored. Malformed patterns never match.
  bool Matches(std::string_view pattern, std::string_view address, std::string_view host);
  bool NameMatchingOn() const { return nameMatching_; }

 private:
  bool nameMatching_ = false;
};

}  // namespace vantor
