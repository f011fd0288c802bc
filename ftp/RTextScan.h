// A tiny scanner with the matching rules of the C library's scanf family for
// the few patterns the FTP commands use ("%*5s %d,...", "%*5s %ld"): numbers
// may be preceded by white space, a literal must match exactly. Unlike scanf
// it never overflows: digits beyond the 64-bit range saturate.
#pragma once

#include <cstdint>
#include <string_view>

namespace vantor {

class RTextScan {
 public:
  explicit RTextScan(std::string_view text) : text_(text) {}

  // "%*Ns": skips white space, then one word of 1 to `maxLen` characters.
  [[nodiscard]] bool SkipWord(size_t maxLen);
  // "%d" / "%ld": white space, optional sign, at least one digit.
  [[nodiscard]] bool Decimal(int64_t& out);
  // Digits only (no sign) after white space: "%lu" without the wrap-around
  // that scanf gives a leading minus.
  [[nodiscard]] bool Unsigned(uint64_t& out);
  // One literal character, not preceded by white space.
  [[nodiscard]] bool Literal(char c);
  void SkipSpace();
  std::string_view Rest() const { return text_.substr(pos_); }
  bool AtEnd() const { return pos_ >= text_.size(); }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace vantor
