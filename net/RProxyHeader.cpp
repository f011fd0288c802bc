#include "net/RProxyHeader.h"

#include <algorithm>
#include <cstring>

#include "util/RText.h"

namespace vantor {
namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr char kV2Signature[12] = {'\r', '\n', '\r', '\n', '\0', '\r',
                                   '\n', 'Q',  'U',  'I',  'T',  '\n'};
constexpr size_t kV2Fixed = 16;

bool StartsLike(std::string_view bytes, std::string_view prefix) {
  const size_t n = std::min(bytes.size(), prefix.size());
  return bytes.substr(0, n) == prefix.substr(0, n);
}

// Decimal 0..65535, no sign, no leading zero.
bool ParsePort(std::string_view text, uint16_t& out) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > 65535) return false;
  out = static_cast<uint16_t>(v);
  return true;
}

// The rest of the program knows an IPv4 client by its plain form, even when
// the balancer reports it v4-mapped.
std::string ShownAddress(const RIpAddrStr& a) {
  return PlainAddressText(IpText(a));
}

RProxyParse ParseV1Line(std::string_view body, RProxyHeaderStr& out) {
  // "UNKNOWN" may carry anything after it; the peer address then stands.
  if (body == "UNKNOWN" || body.substr(0, 8) == "UNKNOWN ") return RProxyParse::Done;
  std::string_view field[5];
  for (int i = 0; i < 5; ++i) {
    const size_t blank = body.find(' ');
    if (i < 4 && blank == std::string_view::npos) return RProxyParse::Malformed;
    field[i] = i < 4 ? body.substr(0, blank) : body;
    if (field[i].empty()) return RProxyParse::Malformed;
    if (i < 4) body.remove_prefix(blank + 1);
  }
  const bool v4 = field[0] == "TCP4";
  if (!v4 && field[0] != "TCP6") return RProxyParse::Malformed;
  RIpAddrStr src, dst;
  const bool parsed = v4 ? ParseIPv4Text(field[1], src) && ParseIPv4Text(field[2], dst)
                         : ParseIPv6Text(field[1], src) && ParseIPv6Text(field[2], dst);
  if (!parsed || !ParsePort(field[3], out.clientPort) || !ParsePort(field[4], out.serverPort)) {
    return RProxyParse::Malformed;
  }
  out.clientAddress = ShownAddress(src);
  out.serverAddress = ShownAddress(dst);
  out.hasAddress = true;
  return RProxyParse::Done;
}

RProxyParse ParseV1(std::string_view bytes, RProxyHeaderStr& out, size_t& need) {
  const size_t lf = bytes.find('\n');
  const size_t cr = bytes.find('\r');
  if (lf == std::string_view::npos) {
    // A CR anywhere but last can no longer end the line properly.
    if (cr != std::string_view::npos && cr + 1 != bytes.size()) return RProxyParse::Malformed;
    if (bytes.size() >= kProxyV1MaxBytes) return RProxyParse::TooLong;
    // Without a look ahead the reader takes the line in small steps: the
    // CR LF still to come is all that is certain.
    need = std::min(cr == std::string_view::npos ? size_t{2} : size_t{1},
                    kProxyV1MaxBytes - bytes.size());
    return RProxyParse::Incomplete;
  }
  if (lf + 1 > kProxyV1MaxBytes) return RProxyParse::TooLong;
  if (lf == 0 || cr != lf - 1) return RProxyParse::Malformed;
  out = RProxyHeaderStr();
  out.version = 1;
  out.length = lf + 1;
  return ParseV1Line(bytes.substr(kV1Prefix.size(), cr - kV1Prefix.size()), out);
}

RProxyParse ParseV2(std::string_view bytes, RProxyHeaderStr& out, size_t& need) {
  if (bytes.size() < kV2Fixed) {
    need = kV2Fixed - bytes.size();
    return RProxyParse::Incomplete;
  }
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  const unsigned command = b[12] & 0x0F;
  if ((b[12] >> 4) != 2 || command > 1) return RProxyParse::Malformed;
  const size_t total = kV2Fixed + (size_t{b[14]} << 8 | b[15]);
  if (total > kProxyV2MaxBytes) return RProxyParse::TooLong;
  if (bytes.size() < total) {
    need = total - bytes.size();
    return RProxyParse::Incomplete;
  }
  const unsigned family = b[13] >> 4;
  if (family > 3 || (b[13] & 0x0F) > 2) return RProxyParse::Malformed;
  out = RProxyHeaderStr();
  out.version = 2;
  out.length = total;
  const size_t addrLen = total - kV2Fixed;
  const uint8_t* a = b + kV2Fixed;
  // A health check (LOCAL) speaks for the balancer itself; its address
  // block, if any, is skipped.
  if (command == 0) return RProxyParse::Done;
  if (family == 1 || family == 2) {
    const size_t width = family == 1 ? 4 : 16;
    if (addrLen < 2 * width + 4) return RProxyParse::Malformed;
    RIpAddrStr src, dst;
    src.v6 = dst.v6 = family == 2;
    std::memcpy(src.bytes.data(), a, width);
    std::memcpy(dst.bytes.data(), a + width, width);
    out.clientAddress = ShownAddress(src);
    out.serverAddress = ShownAddress(dst);
    out.clientPort = static_cast<uint16_t>(a[2 * width] << 8 | a[2 * width + 1]);
    out.serverPort = static_cast<uint16_t>(a[2 * width + 2] << 8 | a[2 * width + 3]);
    out.hasAddress = true;
  }
  return RProxyParse::Done;
}

}  // namespace

RProxyParse ParseProxyHeader(std::string_view bytes, RProxyHeaderStr& out, size_t& need) {
  const std::string_view sig(kV2Signature, sizeof kV2Signature);
  if (bytes.empty()) {
    need = kProxyFirstRead;
    return RProxyParse::Incomplete;
  }
  if (StartsLike(bytes, sig)) {
    if (bytes.size() < kProxyFirstRead) {
      need = kProxyFirstRead - bytes.size();
      return RProxyParse::Incomplete;
    }
    return ParseV2(bytes, out, need);
  }
  if (!StartsLike(bytes, kV1Prefix)) return RProxyParse::Malformed;
  if (bytes.size() < kProxyFirstRead) {
    need = kProxyFirstRead - bytes.size();
    return RProxyParse::Incomplete;
  }
  return ParseV1(bytes, out, need);
}

std::vector<RProxySourceStr> ParseProxySources(std::string_view list,
                                               std::vector<std::string>* rejected) {
  std::vector<RProxySourceStr> sources;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string_view entry = TrimBlanks(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (entry.empty()) continue;
    RProxySourceStr s;
    if (ParseCidrText(entry, s.prefix, s.bits)) {
      sources.push_back(s);
    } else if (rejected != nullptr) {
      rejected->emplace_back(entry);
    }
  }
  return sources;
}

bool ProxySourceListed(const std::vector<RProxySourceStr>& sources, std::string_view peer) {
  RIpAddrStr a;
  if (!ParseIpText(peer, a)) return false;
  return std::any_of(sources.begin(), sources.end(),
                     [&](const RProxySourceStr& s) { return InPrefix(a, s.prefix, s.bits); });
}

}  // namespace vantor
