#include "accounts/RIPRules.h"

#include <cstdint>
#include <string>
#include <vector>

#include "accounts/RWildcard.h"
#include "platform/RIpAddress.h"
#include "util/RText.h"

namespace vantor {
namespace {

bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Strict decimal: digits only, at most 10 of them.
bool ReadNumber(std::string_view s, uint64_t& v) {
  if (s.empty() || s.size() > 10) return false;
  v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

bool NumericMatch(std::string_view pattern, std::string_view address) {
  std::string p(pattern);
  std::string a(address);
  p += '.';
  a += '.';
  size_t pi = 0;
  size_t ai = 0;
  for (;;) {
    // Fewer components in either one: everything compared so far matched.
    if (pi >= p.size() || ai >= a.size()) return true;
    size_t pe = p.find('.', pi);
    size_t ae = a.find('.', ai);
    std::string_view pc(p.data() + pi, pe - pi);
    std::string_view ac(a.data() + ai, ae - ai);
    pi = pe + 1;
    ai = ae + 1;
    if (pc == "*") continue;
    uint64_t value = 0;
    if (!ReadNumber(ac, value)) return false;
    size_t dash = pc.find('-');
    if (dash != std::string_view::npos) {
      uint64_t lo = 0, hi = 0;
      if (!ReadNumber(pc.substr(0, dash), lo) || !ReadNumber(pc.substr(dash + 1), hi)) return false;
      if (value < lo || value > hi) return false;
      continue;
    }
    uint64_t want = 0;
    if (!ReadNumber(pc, want) || want != value) return false;
  }
}

// An IPv6 pattern: an address, or a prefix written "2001:db8::/32". It
// matches addresses of its own family only (a v4-mapped prefix is folded to
// the IPv4 one it stands for).
bool IPv6PatternMatch(std::string_view pattern, std::string_view address) {
  RIpAddrStr prefix, addr;
  int bits = 0;
  if (!ParseCidrText(pattern, prefix, bits) || !ParseIpText(address, addr)) return false;
  return InPrefix(addr, prefix, bits);
}

bool ByteNumber(std::string_view s) {
  uint64_t v = 0;
  return ReadNumber(s, v) && v <= 255;
}

}  // namespace

bool IPPatternParses(std::string_view pattern) {
  pattern = TrimBlanks(pattern);
  if (pattern.empty()) return false;
  if (IsIPv6Text(pattern)) {
    RIpAddrStr prefix;
    int bits = 0;
    return ParseCidrText(pattern, prefix, bits);
  }
  for (char c : pattern) {
    if (IsLetter(c)) return true;
  }
  int parts = 0;
  for (;;) {
    const size_t dot = pattern.find('.');
    const std::string_view part = pattern.substr(0, dot);
    if (++parts > 4) return false;
    const size_t dash = part.find('-');
    const bool ok = part == "*" ||
                    (dash == std::string_view::npos
                         ? ByteNumber(part)
                         : ByteNumber(part.substr(0, dash)) && ByteNumber(part.substr(dash + 1)));
    if (!ok) return false;
    if (dot == std::string_view::npos) return true;
    pattern.remove_prefix(dot + 1);
  }
}

bool IPRuleParses(std::string_view rule) {
  const char kind = AsciiUpper(rule.empty() ? '\0' : rule[0]);
  return rule.size() > 2 && (kind == 'A' || kind == 'D') && rule[1] == ',' &&
         IPPatternParses(rule.substr(2));
}

bool RIPMatcher::Matches(std::string_view pattern, std::string_view address,
                         std::string_view host) {
  // "A, 10.*" is a slip of the keyboard: one blank must not turn a rule into
  // one that never matches (and so refuses every client at the list's end).
  pattern = TrimBlanks(pattern);
  // The hex digits of an IPv6 pattern are no host name.
  if (IsIPv6Text(pattern)) return IPv6PatternMatch(pattern, address);
  // A v4-mapped client is the IPv4 client it stands for.
  std::string plain;
  if (IsIPv6Text(address)) {
    plain = PlainAddressText(address);
    address = plain;
  }
  if (!nameMatching_) {
    for (size_t i = 1; i < pattern.size(); ++i) {
      if (IsLetter(pattern[i])) {
        nameMatching_ = true;
        break;
      }
    }
  }
  // An unknown host name (empty) is never matched by name; an empty pattern
  // would otherwise match it.
  if (nameMatching_ && !host.empty() && !pattern.empty() &&
      WildcardMatch(Upper(host), Upper(pattern)))
    return true;
  return NumericMatch(pattern, address);
}

}  // namespace vantor
