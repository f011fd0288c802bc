// ASCII case helpers. Names in the configuration, FTP verbs, user names and
// file names compare without regard to ASCII case only: no locale is
// consulted, so a comparison never changes with the environment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantor {

constexpr char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool EqualNoCaseAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// Blanks are space and tab only: the separators of FTP arguments, INI values
// and rule lists. Nothing else counts, whatever the locale says.
constexpr bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// `s` without leading and trailing blanks.
std::string_view TrimBlanks(std::string_view s);

// A line of a file that may have been written on Windows: without leading
// and trailing blanks and carriage returns.
std::string_view TrimLine(std::string_view s);

// Copies with ASCII letters changed; other bytes (UTF-8 included) kept.
std::string Lower(std::string_view s);
std::string Upper(std::string_view s);

// Whether `s` begins with `prefix`, ASCII letters compared without case.
constexpr bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualNoCaseAscii(s.substr(0, prefix.size()), prefix);
}

// Byte order after ASCII letters are lowered (bytes from 0x80 after all
// ASCII); on a common prefix the shorter text comes first. -1, 0 or 1.
int CompareNoCase(std::string_view a, std::string_view b);

// Levenshtein distance without regard to ASCII case: how many single-letter
// edits turn `a` into `b` (for "did you mean" hints on misspelt names).
size_t EditDistanceNoCase(std::string_view a, std::string_view b);

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
constexpr int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace vantor
