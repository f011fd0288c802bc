#include "gui/RSetupRules.h"

#include <cctype>
#include <charconv>

#include "config/RGlobalSettings.h"
#include "config/RIPHomeId.h"
#include "gui/RGuiStrings.h"
#include "net/RProxyHeader.h"
#include "platform/RIpAddress.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr std::string_view kRuleLetters = "RWAMELCDP";

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::optional<int> Octet(std::string_view s) {
  if (!AllDigits(s) || s.size() > 3) return std::nullopt;
  int v = 0;
  std::from_chars(s.data(), s.data() + s.size(), v);
  if (v > 255) return std::nullopt;
  return v;
}

bool HasLineBreak(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// As strict as the dotted check: no blanks around it.
bool IsV6HomeAddress(std::string_view text) {
  if (text.empty() || IsBlank(text.front()) || IsBlank(text.back())) {
    return false;
  }
  return ParseV6Home(0, text).has_value();
}

// Four decimal numbers, each at most 255, separated by dots.
bool IsDottedAddress(std::string_view text) {
  for (int i = 0; i < 4; ++i) {
    const size_t dot = text.find('.');
    if ((i < 3) != (dot != std::string_view::npos)) return false;
    if (!Octet(text.substr(0, dot))) return false;
    if (i < 3) text.remove_prefix(dot + 1);
  }
  return true;
}

}  // namespace

std::optional<int64_t> ParseBoundedNumber(std::string_view text, int64_t min, int64_t max) {
  bool neg = false;
  if (!text.empty() && text.front() == '-') {
    neg = true;
    text.remove_prefix(1);
  }
  if (!AllDigits(text) || text.size() > 18) return std::nullopt;
  int64_t v = 0;
  std::from_chars(text.data(), text.data() + text.size(), v);
  if (neg) v = -v;
  if (v < min || v > max) return std::nullopt;
  return v;
}

std::string CheckNumber(std::string_view text, int64_t min, int64_t max) {
  if (ParseBoundedNumber(text, min, max)) return {};
  return FormatStr(S_GUI_ERR_NUMBER, text, min, max);
}

std::string CheckPassiveSettings(std::string_view range, std::string_view address) {
  int32_t low = 0, high = 0;
  if (!range.empty() && !ParsePassiveRange(range, low, high)) {
    return FormatStr(S_GUI_ERR_PASVRANGE, range);
  }
  if (!address.empty() && !IsDottedAddress(address)) return FormatStr(S_GUI_ERR_ADDRESS, address);
  return {};
}

std::string CheckProxySources(std::string_view list) {
  // The engine would skip a bad entry; the dialog does not let one in.
  std::vector<std::string> rejected;
  (void)ParseProxySources(list, &rejected);
  if (!rejected.empty()) return FormatStr(S_GUI_ERR_PROXYFROM, rejected.front());
  return CheckPlainValue(list);
}

std::string CheckIPHome(std::string_view address, std::string_view name, std::string_view passive) {
  // The home's own address may be IPv6 (the server listens there); the
  // passive address is announced in 227 only, so it stays IPv4.
  if (!IsDottedAddress(address) && !IsV6HomeAddress(address)) {
    return FormatStr(S_GUI_ERR_ADDRESS, address);
  }
  if (name.find(',') != std::string_view::npos || HasLineBreak(name) || name.size() > 59) {
    return LoadStr(S_GUI_ERR_HOMENAME);
  }
  if (!passive.empty() && !IsDottedAddress(passive)) {
    return FormatStr(S_GUI_ERR_ADDRESS, passive);
  }
  return {};
}

std::string IPHomeValue(std::string_view address, std::string_view name, std::string_view passive) {
  std::string v(address);
  if (!name.empty() || !passive.empty()) {
    v += ',';
    v += name;
  }
  if (!passive.empty()) {
    v += ',';
    v += passive;
  }
  return v;
}

std::string CheckIPPattern(std::string_view pattern) {
  if (pattern.empty() || pattern.size() > 250) return FormatStr(S_GUI_ERR_PATTERN, pattern);
  if (IsIPv6Text(pattern)) {
    // An IPv6 address or prefix ("2001:db8::/32").
    RIpAddrStr prefix;
    int bits = 0;
    if (ParseCidrText(pattern, prefix, bits)) return {};
    return FormatStr(S_GUI_ERR_PATTERN, pattern);
  }
  bool letters = false;
  for (char c : pattern) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (std::isalpha(u)) {
      letters = true;
    } else if (!std::isdigit(u) && c != '.' && c != '-' && c != '*' && c != '?') {
      return FormatStr(S_GUI_ERR_PATTERN, pattern);
    }
  }
  if (letters) return {};  // a host name pattern
  std::string_view rest = pattern;
  for (int n = 0; n < 4; ++n) {
    const size_t dot = rest.find('.');
    const std::string_view part = rest.substr(0, dot);
    if (part != "*") {
      const size_t dash = part.find('-');
      if (dash == std::string_view::npos) {
        if (!Octet(part)) return FormatStr(S_GUI_ERR_OCTET, pattern);
      } else {
        const auto lo = Octet(part.substr(0, dash));
        const auto hi = Octet(part.substr(dash + 1));
        if (!lo || !hi || *lo > *hi) return FormatStr(S_GUI_ERR_OCTET, pattern);
      }
    }
    if (dot == std::string_view::npos) return {};
    rest.remove_prefix(dot + 1);
  }
  return FormatStr(S_GUI_ERR_PATTERN, pattern);  // more than four components
}

std::string NormaliseRuleLetters(std::string_view letters) {
  std::string out;
  for (char want : kRuleLetters) {
    for (char c : letters) {
      if (AsciiUpper(c) == want) {
        out += want;
        break;
      }
    }
  }
  return out;
}

std::string CheckAccessRule(std::string_view path, std::string_view letters) {
  if (path.empty() || HasLineBreak(path)) return LoadStr(S_GUI_ERR_RULEPATH);
  if (NormaliseRuleLetters(letters).empty()) return LoadStr(S_GUI_ERR_RULELETTERS);
  return {};
}

RAccessRuleStr SplitAccessRule(std::string_view value) {
  const size_t c = value.rfind(',');
  if (c == std::string_view::npos) return {std::string(value), {}};
  return {std::string(value.substr(0, c)), std::string(value.substr(c + 1))};
}

std::string CheckAccountName(std::string_view name) {
  const bool blankEnds = !name.empty() && (name.front() == ' ' || name.back() == ' ');
  if (name.empty() || name.size() > 49 || blankEnds || HasLineBreak(name) ||
      name.find_first_of("[]") != std::string_view::npos) {
    return FormatStr(S_GUI_ERR_NAME, name);
  }
  return {};
}

std::string CheckPlainValue(std::string_view value) {
  return HasLineBreak(value) ? LoadStr(S_GUI_ERR_LINEBREAK) : std::string();
}

std::string CheckDriveLetter(std::string_view letter) {
  const bool ok = letter.size() == 1 && ((letter[0] >= 'A' && letter[0] <= 'Z') ||
                                         (letter[0] >= 'a' && letter[0] <= 'z'));
  return ok ? std::string() : FormatStr(S_GUI_ERR_DRIVE, letter);
}

std::string CheckDriveRoot(std::string_view root) {
  if (std::string e = CheckPlainValue(root); !e.empty()) return e;
  // A relative root would depend on where the file lies, which the
  // administrator editing it here does not see.
  return root.starts_with('/') ? std::string() : FormatStr(S_GUI_ERR_DRIVEROOT, root);
}

std::string CheckListMask(std::string_view mask) {
  constexpr std::string_view kFull = "rwxrwxrwx";
  if (mask.size() != kFull.size()) return FormatStr(S_GUI_ERR_MASK, mask);
  for (size_t i = 0; i < mask.size(); ++i) {
    if (mask[i] != kFull[i] && mask[i] != '-') return FormatStr(S_GUI_ERR_MASK, mask);
  }
  return {};
}

}  // namespace vantor
