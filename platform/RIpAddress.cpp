#include "platform/RIpAddress.h"

#include <arpa/inet.h>

#include <cstring>

namespace vantor {
namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool IsMapped(const RIpAddrStr& a) {
  return a.v6 && std::memcmp(a.bytes.data(), kMappedPrefix, sizeof kMappedPrefix) == 0;
}

RIpAddrStr Unmapped(const RIpAddrStr& a) {
  RIpAddrStr r;
  for (int i = 0; i < 4; ++i) r.bytes[i] = a.bytes[12 + i];
  return r;
}

}  // namespace

bool ParseIPv4Text(std::string_view text, RIpAddrStr& out) {
  RIpAddrStr r;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    int value = 0;
    size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      value = value * 10 + (text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    r.bytes[part] = static_cast<uint8_t>(value);
  }
  if (pos != text.size()) return false;
  out = r;
  return true;
}

bool ParseIPv6Text(std::string_view text, RIpAddrStr& out) {
  char buf[INET6_ADDRSTRLEN];
  if (text.empty() || text.size() >= sizeof buf) return false;
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\0';
  in6_addr a{};
  if (::inet_pton(AF_INET6, buf, &a) != 1) return false;
  out.v6 = true;
  std::memcpy(out.bytes.data(), &a, 16);
  return true;
}

bool ParseIpText(std::string_view text, RIpAddrStr& out) {
  if (!IsIPv6Text(text)) return ParseIPv4Text(text, out);
  RIpAddrStr r;
  if (!ParseIPv6Text(text, r)) return false;
  out = IsMapped(r) ? Unmapped(r) : r;
  return true;
}

std::string IpText(const RIpAddrStr& addr) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (::inet_ntop(addr.v6 ? AF_INET6 : AF_INET, addr.bytes.data(), buf, sizeof buf) == nullptr) {
    return std::string();
  }
  return buf;
}

std::string PlainAddressText(std::string_view text) {
  if (!IsIPv6Text(text)) return std::string(text);
  RIpAddrStr r;
  if (!ParseIPv6Text(text, r) || !IsMapped(r)) return std::string(text);
  return IpText(Unmapped(r));
}

bool InPrefix(const RIpAddrStr& addr, const RIpAddrStr& prefix, int bits) {
  if (addr.v6 != prefix.v6 || bits < 0 || bits > (addr.v6 ? 128 : 32)) return false;
  int i = 0;
  for (; bits >= 8; bits -= 8, ++i) {
    if (addr.bytes[i] != prefix.bytes[i]) return false;
  }
  if (bits == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xFF00 >> bits);
  return (addr.bytes[i] & mask) == (prefix.bytes[i] & mask);
}

bool ParseCidrText(std::string_view text, RIpAddrStr& prefix, int& bits) {
  const size_t slash = text.find('/');
  std::string_view addrPart = text.substr(0, slash);
  RIpAddrStr a;
  if (!IsIPv6Text(addrPart) ? !ParseIPv4Text(addrPart, a) : !ParseIPv6Text(addrPart, a)) {
    return false;
  }
  int b = a.v6 ? 128 : 32;
  if (slash != std::string_view::npos) {
    std::string_view n = text.substr(slash + 1);
    if (n.empty() || n.size() > 3) return false;
    b = 0;
    for (char c : n) {
      if (c < '0' || c > '9') return false;
      b = b * 10 + (c - '0');
    }
    if (b > (a.v6 ? 128 : 32)) return false;
  }
  if (IsMapped(a) && b >= 96) {
    a = Unmapped(a);
    b -= 96;
  }
  prefix = a;
  bits = b;
  return true;
}

}  // namespace vantor
