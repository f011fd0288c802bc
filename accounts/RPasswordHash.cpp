#include "accounts/RPasswordHash.h"

#include "accounts/RCrypt.h"
#include "platform/RLibCrypt.h"
#include "util/RText.h"

namespace vantor {
namespace {

bool IsSaltChar(char c) {
  return c == '.' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}

}  // namespace

bool SameBytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return diff == 0;
}

bool IsDesHash(std::string_view stored) {
  if (stored.size() != 13) return false;
  for (char c : stored) {
    if (!IsSaltChar(c)) return false;
  }
  return true;
}

RPasswordCheck CheckPasswordHash(std::string_view given, std::string_view stored) {
  // No stored hash was made of a password with a NUL byte in it.
  if (given.find('\0') != std::string_view::npos) return RPasswordCheck::Mismatch;
  if (IsDesHash(stored)) {
    return SameBytes(Crypt(given, stored.substr(0, 2)), stored) ? RPasswordCheck::Match
                                                                : RPasswordCheck::Mismatch;
  }
  // "$id$..." and the BSD "_" form are the library's; anything else would be
  // read by it as a DES salt and never match, which hides the fault.
  if (stored.empty() || (stored[0] != '$' && stored[0] != '_')) return RPasswordCheck::Unchecked;
  const auto hash = LibCrypt(given, stored);
  // A complete stored hash reproduces itself at its own length; a bare
  // setting or a cut-off value never can, and is reported instead.
  if (!hash || hash->size() != stored.size()) return RPasswordCheck::Unchecked;
  return SameBytes(*hash, stored) ? RPasswordCheck::Match : RPasswordCheck::Mismatch;
}

RHashMethod HashMethodFromSetting(std::string_view value) {
  return EqualNoCaseAscii(value, "des") ? RHashMethod::Des : RHashMethod::Yescrypt;
}

std::string_view DummyPasswordHash(RHashMethod method) {
  // The library's default cost and a hash part of the full length, so the
  // check costs what a real one does. A match is never taken (the work
  // carries `dummy`), so which password it stands for does not matter.
  if (method == RHashMethod::Des) return "abDummyHash00";
  return "$y$j9T$Q2h0ZHVtbXlzYWx0$AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
}

std::optional<std::string> YescryptHash(std::string_view plain) {
  const auto setting = LibCryptGenSalt("$y$");
  if (!setting) return std::nullopt;
  return LibCrypt(plain, *setting);
}

}  // namespace vantor
