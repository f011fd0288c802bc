// The 32-bit identity of an IP home.
//
// Every per-home table keys on 32 bits: the "USER=name@n" account
// sections, the sign-on and sign-off files, session counts and the access
// query record's address. An IPv4 home is its own address. An IPv6 home
// has no 32-bit form, so it is given a stand-in from the reserved block
// 240.0.0.0/4 that carries its key number (IP7 on IPv6 is 240.0.0.7).
// IPv4 homes, the stored files and hook libraries see nothing change.
// Pure functions, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

inline constexpr uint32_t kV6HomeIdBase = 0xF0000000u;
inline constexpr uint32_t kV6HomeMaxKey = 0x0FFFFFFFu;

inline bool IsV6HomeId(uint32_t id) {
  return (id & 0xF0000000u) == kV6HomeIdBase;
}

struct RV6HomeStr {
  uint32_t id = 0;   // kV6HomeIdBase | key number
  std::string text;  // RFC 5952 form, as the socket layer prints it
};

// An IPv6 home address (blanks around it allowed, no brackets, no zone) for
// key number `n`. nullopt when the text is no IPv6 address, is an IPv4-mapped
// one (such a home is written dotted), or `n` does not fit beside the base.
std::optional<RV6HomeStr> ParseV6Home(uint32_t n, std::string_view text);

// The RFC 5952 form of an IPv6 text, "" when it is none; a home matches a
// local address when both forms are equal.
std::string CanonicalV6Text(std::string_view text);

}  // namespace vantor
