// Stored passwords: which hash forms the server checks, and the form it
// writes. The classic two-character-salt DES form is computed by our own
// RCrypt; every "$...$" form the system's libcrypt knows (yescrypt, bcrypt,
// SHA-crypt, ...) goes through it. Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantor {

enum class RPasswordCheck {
  Match,
  Mismatch,
  // The stored value is no hash we can check (plain text under
  // EncryptPasswords, a truncated hash, a method the library lacks).
  Unchecked,
};

// Compares `given` with the stored hash. Every comparison of hash bytes takes
// the same time whatever the position of the first difference.
RPasswordCheck CheckPasswordHash(std::string_view given, std::string_view stored);

// True for 13 characters of "./0-9A-Za-z": the DES form.
bool IsDesHash(std::string_view stored);

// Equal length and bytes, in time that depends on the lengths only.
bool SameBytes(std::string_view a, std::string_view b);

// The method for new hashes from the `PasswordHash` value of [GLOBAL]:
// "des" (any case) keeps the old form for programs that read the file too;
// anything else, or no value, is yescrypt.
enum class RHashMethod { Yescrypt, Des };
RHashMethod HashMethodFromSetting(std::string_view value);

// A yescrypt hash of `plain` with a fresh random salt; nullopt when the
// library cannot make one (or `plain` holds a NUL byte).
std::optional<std::string> YescryptHash(std::string_view plain);

// A stored value of the kind `method` writes, at the default cost: what a
// login for a name without a password (or a disabled account) is hashed
// against, so that the time of the answer does not tell which names exist.
std::string_view DummyPasswordHash(RHashMethod method);

// One password hash to compute off the loop thread: the account store hands
// it out (RFTPSSecurity::BeginPassword) and takes the result back.
struct RPasswordWorkStr {
  std::string given;
  std::string stored;
  std::string account;  // the account as answered ("@N" included), for the log
  std::string asked;    // the name as the query carried it
  bool dummy = false;   // hashed for the time only: refused whatever the result
};

// A password change made ready but not yet written (RFTPSSecurity::
// PreparePasswordChange): a shared store takes it first, so the INI file
// never holds a password the other machines do not.
struct RPasswordChangeStr {
  std::string account;  // lower case, "@N" included
  std::string section;  // the INI section it goes to
  std::string stored;   // the form stored: hash, or scrambled pass phrase
  bool skey = false;    // an S/KEY pass phrase: its record starts again
};

}  // namespace vantor
