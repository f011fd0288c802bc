// Typed reads on top of the INI layer, with the value conventions every
// section of the configuration shares.
//
// Booleans are read as text of at most 24 characters, compared without
// regard to case. A key whose default is true is false only for "FALSE",
// "NO", "0" or "OFF"; a key whose default is false is true only for "TRUE",
// "YES", "1" or "ON". A few switches (`StartIconic`, `StartMaximized`,
// `Invisible`, `ReloadSettings`) are stricter: true only for "TRUE", "YES", "1".
//
// Loop thread only, like the INI layer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/RIniFile.h"

namespace vantor {

// The two boolean rules, chosen by the key's default.
bool ProfileBool(const RIniFile& ini, std::string_view section, std::string_view key, bool def);
// True only for "TRUE", "YES", "1"; anything else (or nothing) is false.
bool ProfileBoolStrict(const RIniFile& ini, std::string_view section, std::string_view key);
// The same rules on a text already read.
bool ProfileBoolText(std::string_view text, bool def);

// A decimal number the way a "%d" scan reads it: blanks, an optional sign,
// then digits up to the first other character ("12abc" is 12). nullopt when
// no digit comes first or the number does not fit 32 bits (64 bits for
// ProfileLong).
std::optional<int32_t> ScanInt(std::string_view text);
std::optional<int64_t> ScanLong(std::string_view text);
// The key scanned as above; `def` when missing or malformed.
int32_t ProfileInt(const RIniFile& ini, std::string_view section, std::string_view key,
                   int32_t def);
int64_t ProfileLong(const RIniFile& ini, std::string_view section, std::string_view key,
                    int64_t def);

// Values of `prefix`1, `prefix`2, ... read in order until the first key that
// is missing (or empty when `stopAtEmpty`). Their order is their precedence.
std::vector<std::string> ReadNumberedKeys(const RIniFile& ini, std::string_view section,
                                          std::string_view prefix, bool stopAtEmpty = false);

// Written forms of a switch.
inline const char* YesNo(bool on) {
  return on ? "YES" : "NO";
}
inline const char* OnOff(bool on) {
  return on ? "ON" : "OFF";
}
inline const char* YesNoMixed(bool on) {
  return on ? "Yes" : "No";
}

}  // namespace vantor
