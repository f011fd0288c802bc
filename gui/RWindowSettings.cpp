#include "gui/RWindowSettings.h"

#include <cctype>
#include <charconv>
#include <vector>

#include "util/RFormat.h"

namespace vantor {
namespace {

constexpr std::string_view kGlobal = "GLOBAL";

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// scanf-style "%d": leading blanks, optional sign, at least one digit.
bool ReadInt(std::string_view s, int& out) {
  s = TrimBlanks(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size();
}

std::vector<std::string_view> SplitComma(std::string_view s, size_t maxParts) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < maxParts) {
    const size_t c = s.find(',');
    if (c == std::string_view::npos) break;
    parts.push_back(s.substr(0, c));
    s.remove_prefix(c + 1);
  }
  parts.push_back(s);
  return parts;
}

}  // namespace

bool IsStrictTrueWord(std::string_view v) {
  v = TrimBlanks(v);
  return EqualsNoCase(v, "TRUE") || EqualsNoCase(v, "YES") || v == "1";
}

bool IsFalseWord(std::string_view v) {
  v = TrimBlanks(v);
  return EqualsNoCase(v, "FALSE") || EqualsNoCase(v, "NO") || v == "0" || EqualsNoCase(v, "OFF");
}

std::optional<std::array<int, 4>> ParseWindowPlacement(std::string_view text) {
  const auto parts = SplitComma(text, 5);
  if (parts.size() != 4) return std::nullopt;
  std::array<int, 4> v{};
  for (size_t i = 0; i < 4; ++i) {
    if (!ReadInt(parts[i], v[i])) return std::nullopt;
  }
  if (v[2] < 1 || v[3] < 1) return std::nullopt;
  return v;
}

std::string WindowPlacementText(int left, int top, int width, int height) {
  return RFormat("%d,%d,%d,%d", left, top, width, height);
}

RLogFontStr ParseLogFont(std::string_view text) {
  const auto parts = SplitComma(text, 7);
  RLogFontStr f;
  if (parts.size() != 7) return f;
  int v[6];
  for (size_t i = 0; i < 6; ++i) {
    if (!ReadInt(parts[i], v[i])) return RLogFontStr{};
  }
  const std::string_view face = TrimBlanks(parts[6]);
  if (face.empty()) return f;
  f.height = v[0];
  f.weight = v[1];
  f.italic = v[2] != 0;
  f.underline = v[3] != 0;
  f.strikeOut = v[4] != 0;
  f.charSet = v[5];
  f.face = std::string(face);
  return f;
}

std::string LogFontText(const RLogFontStr& f) {
  return RFormat("%d,%d,%d,%d,%d,%d,%s", f.height, f.weight, f.italic ? 1 : 0, f.underline ? 1 : 0,
                 f.strikeOut ? 1 : 0, f.charSet, f.face);
}

RWindowSettingsStr LoadWindowSettings(const RIniFile& ini) {
  RWindowSettingsStr s;
  s.placement = ParseWindowPlacement(ini.GetString(kGlobal, "Window"));
  s.startIconic = IsStrictTrueWord(ini.GetString(kGlobal, "StartIconic"));
  s.startMaximized = IsStrictTrueWord(ini.GetString(kGlobal, "StartMaximized"));
  s.invisible = IsStrictTrueWord(ini.GetString(kGlobal, "Invisible"));
  s.showToolBar = !IsFalseWord(ini.GetString(kGlobal, "ShowToolBar"));
  s.showBmpMenus = !IsFalseWord(ini.GetString(kGlobal, "ShowBmpMenus"));
  s.userInfoPlacement = ParseWindowPlacement(ini.GetString(kGlobal, "UserInfoWin"));
  s.logFont = ParseLogFont(ini.GetString(kGlobal, "LogFont"));
  return s;
}

bool SaveWindowSettings(RIniFile& ini, const RWindowExitStateStr& s) {
  auto yesNo = [](bool b) { return std::optional<std::string>(b ? "Yes" : "No"); };
  std::vector<RIniFile::Change> changes;
  if (s.visibleNormal) {
    changes.push_back({"GLOBAL", "Window", WindowPlacementText(s.left, s.top, s.width, s.height)});
    changes.push_back({"GLOBAL", "StartIconic", yesNo(false)});
  } else {
    changes.push_back({"GLOBAL", "StartIconic", yesNo(true)});
  }
  changes.push_back({"GLOBAL", "StartMaximized", yesNo(s.maximized)});
  changes.push_back({"GLOBAL", "ShowToolBar", yesNo(s.showToolBar)});
  changes.push_back({"GLOBAL", "ShowBmpMenus", yesNo(s.showBmpMenus)});
  return ini.Apply(changes);
}

bool SaveUserInfoPlacement(RIniFile& ini, int left, int top, int width, int height) {
  return ini.WriteString(kGlobal, "UserInfoWin", WindowPlacementText(left, top, width, height));
}

RGuiOptionsStr ParseGuiOptions(int argc, const char* const* argv) {
  RGuiOptionsStr o;
  bool havePath = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i] != nullptr ? argv[i] : "";
    const bool option = (a.size() >= 2 && a[0] == '-') || (a.size() == 2 && a[0] == '/');
    if (option) {
      switch (std::tolower(static_cast<unsigned char>(a[1]))) {
        case 'h':
          o.hidden = true;
          break;
        case 'i':
          o.iconic = true;
          break;
        case 's':
          o.single = true;
          break;
        case 'u':
          o.noConfirm = true;
          break;
        default:
          break;  // other options are ignored
      }
      continue;
    }
    if (!havePath && !a.empty()) {
      o.iniPath = std::string(a);
      havePath = true;
    }
  }
  return o;
}

}  // namespace vantor
