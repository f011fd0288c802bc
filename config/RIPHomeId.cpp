#include "config/RIPHomeId.h"

#include "platform/RIpAddress.h"
#include "util/RText.h"

namespace vantor {

std::string CanonicalV6Text(std::string_view text) {
  RIpAddrStr a;
  if (!ParseIPv6Text(TrimBlanks(text), a)) return {};
  return IpText(a);
}

std::optional<RV6HomeStr> ParseV6Home(uint32_t n, std::string_view text) {
  if (n > kV6HomeMaxKey) return std::nullopt;
  RIpAddrStr a;
  // ParseIpText folds an IPv4-mapped address into IPv4: no IPv6 home then.
  if (!ParseIpText(TrimBlanks(text), a) || !a.v6) return std::nullopt;
  RV6HomeStr h;
  h.id = kV6HomeIdBase | n;
  h.text = IpText(a);
  return h;
}

}  // namespace vantor
