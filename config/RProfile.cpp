#include "config/RProfile.h"

#include <limits>

namespace vantor {
namespace {

// Booleans are read into a 24-character buffer.
constexpr size_t kBoolChars = 24;

bool IsWord(std::string_view text, std::initializer_list<std::string_view> words) {
  for (std::string_view w : words) {
    if (IniNameEquals(text, w)) return true;
  }
  return false;
}

template <typename T>
std::optional<T> Scan(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  if (i >= s.size() || s[i] < '0' || s[i] > '9') return std::nullopt;
  // Accumulate negatively so the most negative value fits.
  T v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    const int d = s[i] - '0';
    if (v < (std::numeric_limits<T>::min() + d) / 10) return std::nullopt;
    v = static_cast<T>(v * 10 - d);
  }
  if (!neg) {
    if (v == std::numeric_limits<T>::min()) return std::nullopt;
    v = static_cast<T>(-v);
  }
  return v;
}

}  // namespace

bool ProfileBoolText(std::string_view text, bool def) {
  text = text.substr(0, kBoolChars - 1);
  if (def) return !IsWord(text, {"FALSE", "NO", "0", "OFF"});
  return IsWord(text, {"TRUE", "YES", "1", "ON"});
}

bool ProfileBool(const RIniFile& ini, std::string_view section, std::string_view key, bool def) {
  if (!ini.HasKey(section, key)) return def;
  return ProfileBoolText(ini.GetString(section, key), def);
}

bool ProfileBoolStrict(const RIniFile& ini, std::string_view section, std::string_view key) {
  std::string v = ini.GetString(section, key);
  return IsWord(std::string_view(v).substr(0, kBoolChars - 1), {"TRUE", "YES", "1"});
}

std::optional<int32_t> ScanInt(std::string_view text) {
  return Scan<int32_t>(text);
}
std::optional<int64_t> ScanLong(std::string_view text) {
  return Scan<int64_t>(text);
}

int32_t ProfileInt(const RIniFile& ini, std::string_view section, std::string_view key,
                   int32_t def) {
  return ScanInt(ini.GetString(section, key)).value_or(def);
}

int64_t ProfileLong(const RIniFile& ini, std::string_view section, std::string_view key,
                    int64_t def) {
  return ScanLong(ini.GetString(section, key)).value_or(def);
}

std::vector<std::string> ReadNumberedKeys(const RIniFile& ini, std::string_view section,
                                          std::string_view prefix, bool stopAtEmpty) {
  std::vector<std::string> out;
  std::string key(prefix);
  for (int n = 1;; ++n) {
    key.resize(prefix.size());
    key += std::to_string(n);
    if (!ini.HasKey(section, key)) break;
    std::string v = ini.GetString(section, key);
    if (stopAtEmpty && v.empty()) break;
    out.push_back(std::move(v));
  }
  return out;
}

}  // namespace vantor
