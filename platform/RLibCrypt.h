// The system's crypt(3) library (libxcrypt): every hash format it knows
// (yescrypt "$y$", bcrypt "$2b$", SHA-crypt "$6$" and "$5$", ...).
// Reentrant; any thread. The work area lives on the heap of each call.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantor {

// crypt(key, setting): the hash of `key` under the method, cost and salt
// that `setting` (or a whole stored hash) names. nullopt when the library
// does not know the method or the setting is malformed, and when the key
// holds a NUL byte (the library would hash only the part before it).
std::optional<std::string> LibCrypt(std::string_view key, std::string_view setting);

// A fresh setting for `prefix` ("$y$" yescrypt, "$6$", "$2b$", ...) with
// the method's default cost and a salt from the kernel's random source;
// nullopt when the library cannot make one.
std::optional<std::string> LibCryptGenSalt(const char* prefix);

}  // namespace vantor
