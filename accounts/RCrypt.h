// The traditional DES-based Unix crypt(3), our own code.
#pragma once

#include <string>
#include <string_view>

namespace vantor {

// crypt(key, salt): the key's first eight characters (7 bits each) form the
// DES key, the first two salt characters perturb the E expansion; the result
// is the two salt characters and 11 more (13 in all). A salt whose second
// character is missing repeats the first one. A salt that is empty or holds a
// character outside "./0-9A-Za-z" gives "" (never equal to a stored hash).
std::string Crypt(std::string_view key, std::string_view salt);

// A salt for a new hash: two lower-case letters from the kernel's random
// generator (a salt from the clock could be predicted). "" when the
// generator is unavailable; the caller then stores nothing.
std::string NewCryptSalt();

}  // namespace vantor
