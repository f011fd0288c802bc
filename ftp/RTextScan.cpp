#include "ftp/RTextScan.h"

#include <limits>

namespace vantor {
namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

void RTextScan::SkipSpace() {
  while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
}

bool RTextScan::SkipWord(size_t maxLen) {
  SkipSpace();
  size_t n = 0;
  while (pos_ < text_.size() && n < maxLen && !IsSpace(text_[pos_])) {
    ++pos_;
    ++n;
  }
  return n > 0;
}

bool RTextScan::Unsigned(uint64_t& out) {
  SkipSpace();
  if (pos_ >= text_.size() || !IsDigit(text_[pos_])) return false;
  uint64_t v = 0;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  while (pos_ < text_.size() && IsDigit(text_[pos_])) {
    const uint64_t d = static_cast<uint64_t>(text_[pos_] - '0');
    v = (v > (kMax - d) / 10) ? kMax : v * 10 + d;
    ++pos_;
  }
  out = v;
  return true;
}

bool RTextScan::Decimal(int64_t& out) {
  SkipSpace();
  const size_t start = pos_;
  bool negative = false;
  if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
    negative = text_[pos_] == '-';
    ++pos_;
  }
  if (pos_ >= text_.size() || !IsDigit(text_[pos_])) {
    pos_ = start;
    return false;
  }
  uint64_t mag = 0;
  if (!Unsigned(mag)) return false;
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (mag > kMax) mag = kMax;
  out = negative ? -static_cast<int64_t>(mag) : static_cast<int64_t>(mag);
  return true;
}

bool RTextScan::Literal(char c) {
  if (pos_ < text_.size() && text_[pos_] == c) {
    ++pos_;
    return true;
  }
  return false;
}

}  // namespace vantor
