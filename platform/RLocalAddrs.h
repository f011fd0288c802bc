// The machine's own IPv4 addresses. Any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vantor {

// Dotted addresses of the interfaces that are up, loopback last, at most
// `max` of them; empty when the interfaces cannot be read.
std::vector<std::string> LocalIPv4Addresses(size_t max);

}  // namespace vantor
