// Validation and text forms of what the set-up dialogs write into the INI
// file. Every check returns an empty string when the input is good and
// otherwise the reason (a GUI text) the dialog shows, so no dialog can write
// a value the engine would read differently from what the administrator saw.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

// A decimal number in [min, max] (optional leading '-', nothing else).
std::optional<int64_t> ParseBoundedNumber(std::string_view text, int64_t min, int64_t max);

// The reason `text` cannot be a number in [min, max], or "".
std::string CheckNumber(std::string_view text, int64_t min, int64_t max);
// `PassivePortRange` ("low-high", or empty) and `PassiveAddress` (dotted,
// or empty) of the FTP server page.
std::string CheckPassiveSettings(std::string_view range, std::string_view address);
// `ProxyProtocolFrom`: empty, or a comma list of addresses and prefixes.
std::string CheckProxySources(std::string_view list);
// An IP home: address, optional name, optional passive address.
std::string CheckIPHome(std::string_view address, std::string_view name, std::string_view passive);
// "IPn" value of [IP-HOMES]: "addr", "addr,name", "addr,name,passive" or "addr,,passive".
std::string IPHomeValue(std::string_view address, std::string_view name, std::string_view passive);
// An IP access pattern: up to four components of "*", "n" or "low-high"
// (numbers 0..255, low <= high), a host name pattern (letters, digits,
// '.', '-', '*', '?'), or an IPv6 address or prefix ("2001:db8::/32").
std::string CheckIPPattern(std::string_view pattern);
// An `Access` rule: a non-empty path and at least one permission letter of
// RWAMELCDP.
std::string CheckAccessRule(std::string_view path, std::string_view letters);
// Account and group names become section names "USER=name": no brackets,
// no line breaks, 1 to 49 characters, no blanks at either end.
std::string CheckAccountName(std::string_view name);
// Any value written to the file: no line breaks, no NUL.
std::string CheckPlainValue(std::string_view value);
// The nine permission letters of `DirListMask`: "rwxrwxrwx" with '-' allowed
// in any place.
std::string CheckListMask(std::string_view mask);

// A key of [DRIVES]: one letter A to Z (either case).
std::string CheckDriveLetter(std::string_view letter);
// A drive root: an absolute POSIX directory, written on one line.
std::string CheckDriveRoot(std::string_view root);

// Splits "path,letters" at the last comma (the path may hold commas).
struct RAccessRuleStr {
  std::string path;
  std::string letters;
};
RAccessRuleStr SplitAccessRule(std::string_view value);
// Keeps only the permission letters, upper case, in the dialog's order.
std::string NormaliseRuleLetters(std::string_view letters);

}  // namespace vantor
