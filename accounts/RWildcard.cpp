#include "accounts/RWildcard.h"
#include "util/RText.h"

#include <cstddef>

namespace vantor {
namespace {}  // namespace

bool HasWildcard(std::string_view s) {
  return s.find_first_of("*?") != std::string_view::npos;
}

bool WildcardMatch(std::string_view text, std::string_view pattern) {
  if (pattern == "*" || pattern == "*.*") return true;
  size_t p = 0;
  size_t t = 0;
  for (;;) {
    if (p == pattern.size() && t == text.size()) return true;
    if (p == pattern.size() || t == text.size()) return false;
    char pc = pattern[p];
    if (pc == '*') {
      while (p < pattern.size() && pattern[p] == '*') ++p;
      if (p == pattern.size()) return true;
      // "*?" : the "?" takes the very next character, handled below.
      if (pattern[p] == '?') continue;
      // First occurrence only; the matcher never backtracks, so patterns keep
      // the meaning they have always had in existing configurations.
      char want = AsciiLower(pattern[p]);
      size_t i = t;
      while (i < text.size() && AsciiLower(text[i]) != want) ++i;
      if (i == text.size()) return false;
      t = i + 1;
      ++p;
      continue;
    }
    if (pc == '?') {
      // A leading dot (a hidden name such as ".profile") is never matched by "?".
      if (t == 0 && text[0] == '.') return false;
      ++t;
      ++p;
      continue;
    }
    if (AsciiLower(pc) != AsciiLower(text[t])) return false;
    ++p;
    ++t;
  }
}

}  // namespace vantor
