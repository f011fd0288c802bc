// The machine's own addresses. Any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vantor {

// Addresses of the interfaces that are up, at most `max` of them, empty when
// the interfaces cannot be read. IPv4 in dotted form first, then, with
// `withIPv6`, IPv6 in its standard short form (link-local ones left out:
// they mean nothing without their interface); loopback addresses last.
std::vector<std::string> LocalAddresses(size_t max, bool withIPv6);

}  // namespace vantor
