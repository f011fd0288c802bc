#include "platform/RLocalAddrs.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace vantor {

std::vector<std::string> LocalIPv4Addresses(size_t max) {
  std::vector<std::string> out, loopback;
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (struct ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0) continue;
    char buf[INET_ADDRSTRLEN];
    const auto* sin = reinterpret_cast<const struct sockaddr_in*>(i->ifa_addr);
    if (::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf) == nullptr) continue;
    ((i->ifa_flags & IFF_LOOPBACK) ? loopback : out).emplace_back(buf);
  }
  ::freeifaddrs(list);
  out.insert(out.end(), loopback.begin(), loopback.end());
  if (out.size() > max) out.resize(max);
  return out;
}

}  // namespace vantor
