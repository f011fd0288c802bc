#include "platform/RLocalAddrs.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace vantor {

std::vector<std::string> LocalAddresses(size_t max, bool withIPv6) {
  std::vector<std::string> v4, v6, loop4, loop6;
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  for (struct ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || (i->ifa_flags & IFF_UP) == 0) continue;
    const bool loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
    char buf[INET6_ADDRSTRLEN];
    if (i->ifa_addr->sa_family == AF_INET) {
      const auto* sin = reinterpret_cast<const struct sockaddr_in*>(i->ifa_addr);
      if (::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf) == nullptr) continue;
      (loopback ? loop4 : v4).emplace_back(buf);
    } else if (withIPv6 && i->ifa_addr->sa_family == AF_INET6) {
      const auto* sin6 = reinterpret_cast<const struct sockaddr_in6*>(i->ifa_addr);
      if (IN6_IS_ADDR_LINKLOCAL(&sin6->sin6_addr)) continue;
      if (::inet_ntop(AF_INET6, &sin6->sin6_addr, buf, sizeof buf) == nullptr) continue;
      (loopback ? loop6 : v6).emplace_back(buf);
    }
  }
  ::freeifaddrs(list);
  std::vector<std::string> out = std::move(v4);
  for (auto* part : {&v6, &loop4, &loop6}) out.insert(out.end(), part->begin(), part->end());
  if (out.size() > max) out.resize(max);
  return out;
}

}  // namespace vantor
