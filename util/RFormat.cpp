#include "util/RFormat.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace vantor {

int64_t RFmtArg::AsSigned() const {
  switch (kind_) {
    case Kind::Signed:
      return i_;
    case Kind::Unsigned:
      return static_cast<int64_t>(u_);
    case Kind::Double:
      return static_cast<int64_t>(d_);
    case Kind::Text:
      return std::strtoll(std::string(s_).c_str(), nullptr, 10);
  }
  return 0;
}

uint64_t RFmtArg::AsUnsigned() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<uint64_t>(i_);
    case Kind::Unsigned:
      return u_;
    case Kind::Double:
      return static_cast<uint64_t>(d_);
    case Kind::Text:
      return std::strtoull(std::string(s_).c_str(), nullptr, 10);
  }
  return 0;
}

double RFmtArg::AsDouble() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<double>(i_);
    case Kind::Unsigned:
      return static_cast<double>(u_);
    case Kind::Double:
      return d_;
    case Kind::Text:
      return std::strtod(std::string(s_).c_str(), nullptr);
  }
  return 0;
}

std::string RFmtArg::AsText() const {
  switch (kind_) {
    case Kind::Signed:
      return std::to_string(i_);
    case Kind::Unsigned:
      return std::to_string(u_);
    case Kind::Double:
      return std::to_string(d_);
    case Kind::Text:
      return std::string(s_);
  }
  return {};
}

namespace {

struct Spec {
  std::string flags;
  int width = -1;
  int precision = -1;
  char conv = 0;
};

bool IsFlag(char c) {
  return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0';
}

// Appends snprintf output of a single conversion without any fixed buffer.
template <typename V>
void AppendPrintf(std::string& out, const std::string& one, V value) {
  int n = std::snprintf(nullptr, 0, one.c_str(), value);
  if (n <= 0) return;
  size_t old = out.size();
  out.resize(old + static_cast<size_t>(n) + 1);
  std::snprintf(out.data() + old, static_cast<size_t>(n) + 1, one.c_str(), value);
  out.resize(old + static_cast<size_t>(n));
}

std::string SpecPrefix(const Spec& s) {
  std::string f(1, '%');
  f.append(s.flags);
  if (s.width >= 0) f.append(std::to_string(s.width));
  if (s.precision >= 0) {
    f.push_back('.');
    f.append(std::to_string(s.precision));
  }
  return f;
}

// Widths beyond this are clamped; nothing legitimate asks for more.
constexpr int kMaxWidth = 4096;

void AppendPadded(std::string& out, const Spec& s, std::string_view text) {
  if (s.precision >= 0 && static_cast<size_t>(s.precision) < text.size()) {
    text = text.substr(0, static_cast<size_t>(s.precision));
  }
  size_t pad = s.width > 0 && static_cast<size_t>(s.width) > text.size()
                   ? static_cast<size_t>(s.width) - text.size()
                   : 0;
  bool left = s.flags.find('-') != std::string::npos;
  if (!left) out.append(pad, ' ');
  out.append(text);
  if (left) out.append(pad, ' ');
}

// Plain integers ("%d", "%lu") are most of what replies and log lines carry;
// they need no printf.
template <typename V>
void AppendInteger(std::string& out, V value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), value);
  if (ec == std::errc()) out.append(buf, end);
}

void AppendOne(std::string& out, const Spec& s, const RFmtArg* a) {
  const bool plain = s.flags.empty() && s.width < 0 && s.precision < 0;
  if (plain && a != nullptr && a->kind() != RFmtArg::Kind::Text &&
      a->kind() != RFmtArg::Kind::Double) {
    if (s.conv == 'd' || s.conv == 'i') return AppendInteger(out, a->AsSigned());
    if (s.conv == 'u') return AppendInteger(out, a->AsUnsigned());
  }
  if (s.conv == 's' && a != nullptr && a->kind() == RFmtArg::Kind::Text) {
    return AppendPadded(out, s, a->Text());
  }
  switch (s.conv) {
    case 'd':
    case 'i': {
      if (a != nullptr && a->kind() == RFmtArg::Kind::Text) {
        AppendPadded(out, s, a->AsText());
        return;
      }
      AppendPrintf(out, SpecPrefix(s) + "lld", static_cast<long long>(a ? a->AsSigned() : 0));
      return;
    }
    case 'u':
    case 'o':
    case 'x':
    case 'X': {
      if (a != nullptr && a->kind() == RFmtArg::Kind::Text) {
        AppendPadded(out, s, a->AsText());
        return;
      }
      AppendPrintf(out, SpecPrefix(s) + "ll" + s.conv,
                   static_cast<unsigned long long>(a ? a->AsUnsigned() : 0));
      return;
    }
    case 'p':
      AppendPrintf(out, SpecPrefix(s) + "llx",
                   static_cast<unsigned long long>(a ? a->AsUnsigned() : 0));
      return;
    case 'c': {
      if (a != nullptr && a->kind() == RFmtArg::Kind::Text) {
        std::string t = a->AsText();
        AppendPadded(out, s, t.empty() ? std::string_view() : std::string_view(t).substr(0, 1));
        return;
      }
      char ch = static_cast<char>(a ? a->AsSigned() : 0);
      AppendPadded(out, s, ch != 0 ? std::string_view(&ch, 1) : std::string_view());
      return;
    }
    case 's':
      AppendPadded(out, s, a != nullptr ? a->AsText() : std::string());
      return;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G': {
      Spec c = s;
      if (c.precision > 64) c.precision = 64;
      AppendPrintf(out, SpecPrefix(c) + s.conv, a ? a->AsDouble() : 0.0);
      return;
    }
    default:
      return;
  }
}

// Parses one conversion starting after '%'. Returns the index after it, or
// npos when the format ends inside the conversion.
size_t ParseSpec(std::string_view fmt, size_t i, Spec& s, bool& starWidth, bool& starPrec) {
  starWidth = starPrec = false;
  while (i < fmt.size() && IsFlag(fmt[i])) s.flags += fmt[i++];
  if (i < fmt.size() && fmt[i] == '*') {
    starWidth = true;
    ++i;
  } else {
    int w = -1;
    while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
      w = (w < 0 ? 0 : w) * 10 + (fmt[i++] - '0');
      if (w > kMaxWidth) w = kMaxWidth;
    }
    s.width = w;
  }
  if (i < fmt.size() && fmt[i] == '.') {
    ++i;
    if (i < fmt.size() && fmt[i] == '*') {
      starPrec = true;
      ++i;
    } else {
      int p = 0;
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
        p = p * 10 + (fmt[i++] - '0');
        if (p > kMaxWidth) p = kMaxWidth;
      }
      s.precision = p;
    }
  }
  if (fmt.substr(i, 3) == "I64") i += 3;
  while (i < fmt.size() && (fmt[i] == 'h' || fmt[i] == 'l' || fmt[i] == 'z' || fmt[i] == 'j' ||
                            fmt[i] == 't' || fmt[i] == 'L' || fmt[i] == 'q')) {
    ++i;
  }
  if (i >= fmt.size()) return std::string_view::npos;
  s.conv = fmt[i];
  return i + 1;
}

}  // namespace

std::string RFormatList(std::string_view fmt, std::initializer_list<RFmtArg> args) {
  std::string out;
  out.reserve(fmt.size() + 16);
  const RFmtArg* next = args.begin();
  auto take = [&]() -> const RFmtArg* { return next != args.end() ? next++ : nullptr; };
  for (size_t i = 0; i < fmt.size();) {
    char c = fmt[i];
    if (c != '%') {
      size_t j = fmt.find('%', i);
      if (j == std::string_view::npos) j = fmt.size();
      out.append(fmt.substr(i, j - i));
      i = j;
      continue;
    }
    if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    Spec s;
    bool starW = false;
    bool starP = false;
    size_t end = ParseSpec(fmt, i + 1, s, starW, starP);
    if (end == std::string_view::npos) {
      out.append(fmt.substr(i));
      break;
    }
    if (starW) {
      const RFmtArg* w = take();
      int64_t v = w != nullptr ? w->AsSigned() : 0;
      if (v < 0) {
        s.flags += '-';
        v = -v;
      }
      s.width = static_cast<int>(v > kMaxWidth ? kMaxWidth : v);
    }
    if (starP) {
      const RFmtArg* p = take();
      int64_t v = p != nullptr ? p->AsSigned() : -1;
      s.precision = static_cast<int>(v > kMaxWidth ? kMaxWidth : v);
    }
    if (std::string_view("diuoxXcspfFeEgG").find(s.conv) == std::string_view::npos) {
      out.append(fmt.substr(i, end - i));  // unknown conversion: kept as written
      i = end;
      continue;
    }
    AppendOne(out, s, take());
    i = end;
  }
  return out;
}

std::string FormatIPv4(uint32_t a) {
  std::string out;
  out.reserve(15);
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned octet = (a >> shift) & 255u;
    if (octet >= 100) out.push_back(static_cast<char>('0' + octet / 100));
    if (octet >= 10) out.push_back(static_cast<char>('0' + octet / 10 % 10));
    out.push_back(static_cast<char>('0' + octet % 10));
    if (shift > 0) out.push_back('.');
  }
  return out;
}

std::string RFormatSignature(std::string_view fmt) {
  std::string sig;
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != '%') continue;
    if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
      ++i;
      continue;
    }
    Spec s;
    bool starW = false;
    bool starP = false;
    size_t end = ParseSpec(fmt, i + 1, s, starW, starP);
    if (end == std::string_view::npos) break;
    if (starW) sig += 'd';
    if (starP) sig += 'd';
    sig += s.conv;
    i = end - 1;
  }
  return sig;
}

}  // namespace vantor
