// Type-safe printf-style formatting for the numbered string table.
//
// Format strings come from the string table at run time, so the compiler
// cannot check them against the arguments. `RFormat` walks the format itself,
// takes each argument from a typed list and converts it to what the
// conversion asks for: a string given to "%d" prints as the string, a number
// given to "%s" prints as its decimal form, a missing argument prints as
// nothing. The result is a std::string, so no argument can overrun anything.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace vantor {

class RFmtArg {
 public:
  enum class Kind { Signed, Unsigned, Double, Text };

  template <typename I, std::enable_if_t<std::is_integral_v<I> && std::is_signed_v<I>, int> = 0>
  RFmtArg(I v) : kind_(Kind::Signed), i_(static_cast<int64_t>(v)) {}
  template <typename U, std::enable_if_t<std::is_integral_v<U> && std::is_unsigned_v<U>, int> = 0>
  RFmtArg(U v) : kind_(Kind::Unsigned), u_(static_cast<uint64_t>(v)) {}
  RFmtArg(double v) : kind_(Kind::Double), d_(v) {}
  RFmtArg(const char* s) : kind_(Kind::Text), s_(s != nullptr ? s : "(null)") {}
  RFmtArg(std::string_view s) : kind_(Kind::Text), s_(s) {}
  RFmtArg(const std::string& s) : kind_(Kind::Text), s_(s) {}

  Kind kind() const { return kind_; }
  int64_t AsSigned() const;
  uint64_t AsUnsigned() const;
  double AsDouble() const;
  std::string AsText() const;
  // The text of a Text argument (empty for the others).
  std::string_view Text() const { return s_; }

 private:
  Kind kind_;
  int64_t i_ = 0;
  uint64_t u_ = 0;
  double d_ = 0;
  std::string_view s_;
};

// Formats `fmt` with `args`. Supports flags "-+ #0", width and precision
// (digits or "*"), the length modifiers h, hh, l, ll, z, j, t, L, I64 (all
// ignored: arguments carry their own width) and the conversions
// d i u o x X c s f F e E g G p %.
std::string RFormatList(std::string_view fmt, std::initializer_list<RFmtArg> args);

template <typename... A>
std::string RFormat(std::string_view fmt, const A&... args) {
  return RFormatList(fmt, {RFmtArg(args)...});
}

// "a.b.c.d" of an IPv4 address in host byte order.
std::string FormatIPv4(uint32_t hostOrder);

// The conversion letters of `fmt` in order ("%-8s %lu%%" gives "su"); "*"
// widths count as 'd'. Used to check translations against the English text.
std::string RFormatSignature(std::string_view fmt);

}  // namespace vantor
