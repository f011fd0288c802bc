// The wildcard matcher shared by access rules, IP host patterns, free-file
// patterns and the file services.
//
// "*" and "*.*" match everything. "?" matches one character, except a "."
// that is the first character of the text. Other characters compare without
// regard to case. A "*" followed by more pattern jumps to the FIRST
// occurrence of the next pattern character and never backtracks: "*b" against
// "abab" consumes up to the first "b" and then fails on the remaining "ab".
#pragma once

#include <string_view>

namespace vantor {

bool WildcardMatch(std::string_view text, std::string_view pattern);

// True when `s` holds "*" or "?".
bool HasWildcard(std::string_view s);

}  // namespace vantor
